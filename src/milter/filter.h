// The filter description and option negotiation.
//
// `filter_description` is handed to smfi_register once at start-up.
// mlfi_negotiate runs at the start of every MTA connection and records in
// `add_headers_enabled` whether the MTA lets the filter add headers and
// recipients; every connection overwrites it (the last writer wins).
#pragma once

#include <libmilter/mfapi.h>

#include <atomic>

extern smfiDesc filter_description;
extern std::atomic<int> add_headers_enabled;

extern "C" {
sfsistat mlfi_connect(SMFICTX *ctx, char *hostname, _SOCK_ADDR *address);
sfsistat mlfi_helo(SMFICTX *ctx, char *helo);
sfsistat mlfi_eoh(SMFICTX *ctx);
sfsistat mlfi_unknown(SMFICTX *ctx, const char *command);
sfsistat mlfi_data(SMFICTX *ctx);
sfsistat mlfi_negotiate(SMFICTX *ctx, unsigned long f0, unsigned long f1, unsigned long f2, unsigned long f3,
                        unsigned long *pf0, unsigned long *pf1, unsigned long *pf2, unsigned long *pf3);
sfsistat mlfi_eom(SMFICTX *ctx);
}

// Shutdown: makes every later end of message refuse its message with a
// temporary failure (the MTA keeps it and retries), then waits up to
// `timeout_ms` for the messages whose rules are running to finish. Returns
// true when none is left running, so the rules can be released.
bool close_dispatch(int timeout_ms) noexcept;

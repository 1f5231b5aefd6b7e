// The milter library's side of the filter: the description handed to
// smfi_register, the callbacks, the Connection they attach to each MTA
// connection and the verdicts of the error policy. Only the milter layer
// (and tests of it) include this header, and with it the milter library's.
//
// Threads: as for the Filter (milter/filter.h).
#pragma once

#include <libmilter/mfapi.h>

#include <memory>

#include "message/message_context.h"
#include "milter/filter.h"

// The verdict for a failure under the error policy.
inline sfsistat failure_verdict(const Filter &filter) noexcept {
  return filter.settings.accept_on_error ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
}

// The same, for a message being let go because of the failure: counted.
inline sfsistat fail_message(Filter &filter) noexcept {
  filter.counters.failed.fetch_add(1, std::memory_order_relaxed);
  return failure_verdict(filter);
}

// The description handed to smfi_register.
smfiDesc filter_description() noexcept;

// One MTA connection's state, attached with smfi_setpriv.
struct Connection {
  bool add_headers_enabled = false;  // granted at negotiation
  std::unique_ptr<MessageContext> message;  // the transaction in progress
};

extern "C" {
sfsistat mlfi_connect(SMFICTX *ctx, char *hostname, _SOCK_ADDR *address);
sfsistat mlfi_helo(SMFICTX *ctx, char *helo);
sfsistat mlfi_envfrom(SMFICTX *ctx, char **argv);
sfsistat mlfi_envrcpt(SMFICTX *ctx, char **argv);
sfsistat mlfi_header(SMFICTX *ctx, char *name, char *value);
sfsistat mlfi_eoh(SMFICTX *ctx);
sfsistat mlfi_body(SMFICTX *ctx, unsigned char *bytes, size_t length);
sfsistat mlfi_eom(SMFICTX *ctx);
sfsistat mlfi_abort(SMFICTX *ctx);
sfsistat mlfi_close(SMFICTX *ctx);
sfsistat mlfi_unknown(SMFICTX *ctx, const char *command);
sfsistat mlfi_data(SMFICTX *ctx);
sfsistat mlfi_negotiate(SMFICTX *ctx, unsigned long f0, unsigned long f1, unsigned long f2, unsigned long f3,
                        unsigned long *pf0, unsigned long *pf1, unsigned long *pf2, unsigned long *pf3);
}

// Releases the message attached to `ctx` and returns the verdict:
// the failure verdict when `ok` is 0, else SMFIS_CONTINUE. Logs
// LOG_NO_PRIVATE_DATA when no message is attached.
sfsistat mlfi_cleanup(SMFICTX *ctx, int ok) noexcept;

// The Connection attached to `ctx`, or null.
Connection *attached_connection(SMFICTX *ctx) noexcept;

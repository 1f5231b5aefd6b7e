// Per-message state and the capture callbacks.
//
// One MessageContext exists per SMTP transaction in progress. mlfi_envfrom
// creates it and attaches it to the milter connection with smfi_setpriv;
// mlfi_envrcpt, mlfi_header and mlfi_body append to it in arrival order and
// keep `record_size`, the exact byte length of the message's mailbox record;
// mlfi_cleanup releases it and returns the verdict. The context owns every
// text, recipient, header and body chunk in it; `cursor`, `first_to` and
// `current_rule` only point into it or into the rule model.
//
// Threads: a context is touched only by its own connection's thread. The
// callbacks log through log_event and never end the process.
#pragma once

#include <libmilter/mfapi.h>

#include <cstdint>
#include <memory>

#include "rules/rule.h"
#include "rules/text.h"

struct Recipient {
  Text address;  // normalised: brackets stripped, lower-cased
  std::uint32_t matched = 0;
  std::unique_ptr<Recipient> next;
};

struct HeaderField {
  Text name;   // as received, case kept
  Text value;  // as received; the empty text when the MTA gave none
  std::unique_ptr<HeaderField> next;
};

struct BodyChunk {
  std::unique_ptr<char[]> data;  // counted bytes, not NUL-terminated
  std::int32_t length = 0;
  std::unique_ptr<BodyChunk> next;
};

struct MessageContext {
  TailList<Recipient> recipients;
  Recipient *cursor = nullptr;  // per-recipient action in progress, else null
  TailList<HeaderField> headers;
  TailList<BodyChunk> body;
  Text smtp_sender;                  // "{auth_authen}", or null
  Text from;                         // normalised envelope sender
  const char *first_to = nullptr;    // a Recipient's address, not owned
  std::int64_t record_size = 0;      // 64 bits: a record may exceed 2 GiB
  std::uint32_t any_rule_matched = 0;
  const Rule *current_rule = nullptr;
};

// Strips one outer pair of angle brackets and lower-cases in the POSIX locale.
// Returns a new text owned by the caller, or null when memory runs out.
Text normalize_address(const char *address) noexcept;

extern "C" {
sfsistat mlfi_envfrom(SMFICTX *ctx, char **argv);
sfsistat mlfi_envrcpt(SMFICTX *ctx, char **argv);
sfsistat mlfi_header(SMFICTX *ctx, char *name, char *value);
sfsistat mlfi_body(SMFICTX *ctx, unsigned char *bytes, size_t length);
sfsistat mlfi_abort(SMFICTX *ctx);
sfsistat mlfi_close(SMFICTX *ctx);
}

// Releases the context attached to `ctx`, detaches it and returns the
// verdict: SMFIS_TEMPFAIL when `ok` is 0 and accept_on_error is 0, else
// SMFIS_CONTINUE. Logs LOG_NO_PRIVATE_DATA when nothing is attached.
sfsistat mlfi_cleanup(SMFICTX *ctx, int ok) noexcept;

// The verdict for a failure under the current error policy.
sfsistat failure_verdict() noexcept;

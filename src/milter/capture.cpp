// Message capture: the callbacks that build a MessageContext from the
// envelope, headers and body, keep its record_size, and release it.
//
// Every allocation failure is logged and ends the transaction's context
// through mlfi_cleanup with failure; a record is linked into its list only
// once it is complete, so a context is never left half-built.
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "frontend/log.h"
#include "milter/message_context.h"

namespace {

MessageContext *attached(SMFICTX *ctx) noexcept { return static_cast<MessageContext *>(smfi_getpriv(ctx)); }

// Logs a failed allocation for `what` and releases the message with failure.
sfsistat out_of_memory(SMFICTX *ctx, const char *where, const char *what) noexcept {
  log_event(where, what, LOG_NO_MEMORY);
  return mlfi_cleanup(ctx, 0);
}

sfsistat no_context(const char *where) noexcept {
  log_event(where, "private data", LOG_NO_PRIVATE_DATA);
  return failure_verdict();
}

}  // namespace

sfsistat failure_verdict() noexcept { return accept_on_error == 0 ? SMFIS_TEMPFAIL : SMFIS_CONTINUE; }

Text normalize_address(const char *address) noexcept {
  std::size_t length = std::strlen(address);
  if (length >= 2 && address[0] == '<' && address[length - 1] == '>') {
    ++address;
    length -= 2;
  }
  Text normal(new (std::nothrow) char[length + 1]);
  if (!normal) return normal;
  for (std::size_t i = 0; i < length; ++i)
    normal[i] = static_cast<char>(ascii_tolower(static_cast<unsigned char>(address[i])));
  normal[length] = '\0';
  return normal;
}

sfsistat mlfi_envfrom(SMFICTX *ctx, char **argv) {
  // A context still attached here belongs to a transaction the MTA never
  // ended; it is of no further use.
  if (attached(ctx) != nullptr) mlfi_cleanup(ctx, 1);

  std::unique_ptr<MessageContext> fresh(new (std::nothrow) MessageContext());
  if (!fresh) {
    log_event("mlfi_envfrom", "private data", LOG_NO_MEMORY);
    return failure_verdict();
  }
  // Attached first, so that a failure below releases it through mlfi_cleanup.
  MessageContext *msg = fresh.get();
  smfi_setpriv(ctx, fresh.release());

  char auth_authen[] = "{auth_authen}";
  if (const char *user = smfi_getsymval(ctx, auth_authen); user != nullptr) {
    msg->smtp_sender = copy_text(user);
    if (!msg->smtp_sender) return out_of_memory(ctx, "mlfi_envfrom", "SMTP sender");
  }

  const char *sender = argv != nullptr && argv[0] != nullptr ? argv[0] : "";
  msg->from = normalize_address(sender);
  if (!msg->from) return out_of_memory(ctx, "mlfi_envfrom", "sender address");
  msg->record_size += static_cast<std::int64_t>(std::strlen(msg->from.get())) + 9;
  return SMFIS_CONTINUE;
}

sfsistat mlfi_envrcpt(SMFICTX *ctx, char **argv) {
  MessageContext *msg = attached(ctx);
  if (msg == nullptr) return no_context("mlfi_envrcpt");
  if (argv == nullptr || argv[0] == nullptr) return SMFIS_CONTINUE;

  std::unique_ptr<Recipient> recipient(new (std::nothrow) Recipient());
  if (!recipient) return out_of_memory(ctx, "mlfi_envrcpt", "recipient structure");
  recipient->address = normalize_address(argv[0]);
  if (!recipient->address) return out_of_memory(ctx, "mlfi_envrcpt", "recipient address");
  msg->recipients.append(std::move(recipient));
  return SMFIS_CONTINUE;
}

sfsistat mlfi_header(SMFICTX *ctx, char *name, char *value) {
  MessageContext *msg = attached(ctx);
  if (msg == nullptr) return no_context("mlfi_header");
  if (name == nullptr) {
    std::fputs("Quorvane(mlfi_header): WARNING - Header name is not set, ignoring this header.\n", stderr);
    return SMFIS_CONTINUE;
  }

  std::unique_ptr<HeaderField> header(new (std::nothrow) HeaderField());
  if (!header) return out_of_memory(ctx, "mlfi_header", "header structure");
  header->name = copy_text(name);
  if (!header->name) return out_of_memory(ctx, "mlfi_header", "header name");
  // A header without a value is kept with the empty one, which the record
  // writes and counts like any other.
  header->value = copy_text(value != nullptr ? value : "");
  if (!header->value) return out_of_memory(ctx, "mlfi_header", "header value");

  msg->record_size +=
      static_cast<std::int64_t>(std::strlen(header->name.get()) + std::strlen(header->value.get())) + 3;
  msg->headers.append(std::move(header));
  return SMFIS_CONTINUE;
}

sfsistat mlfi_body(SMFICTX *ctx, unsigned char *bytes, size_t length) {
  MessageContext *msg = attached(ctx);
  if (msg == nullptr) return no_context("mlfi_body");

  std::unique_ptr<BodyChunk> chunk(new (std::nothrow) BodyChunk());
  if (!chunk) return out_of_memory(ctx, "mlfi_body", "body structure");
  // The library hands chunks of at most 64 KiB; a count that does not fit
  // the chunk's length field cannot be held either.
  if (length > static_cast<size_t>(std::numeric_limits<std::int32_t>::max()))
    return out_of_memory(ctx, "mlfi_body", "body data");
  chunk->data.reset(new (std::nothrow) char[length]);
  if (!chunk->data) return out_of_memory(ctx, "mlfi_body", "body data");
  if (length > 0) std::memcpy(chunk->data.get(), bytes, length);
  chunk->length = static_cast<std::int32_t>(length);

  msg->record_size += chunk->length;
  msg->body.append(std::move(chunk));
  return SMFIS_CONTINUE;
}

// The MTA also aborts outside a transaction (at RSET or QUIT before any
// MAIL FROM), so finding nothing attached is ordinary traffic, not an error.
sfsistat mlfi_abort(SMFICTX *ctx) {
  if (attached(ctx) == nullptr) return SMFIS_CONTINUE;
  return mlfi_cleanup(ctx, 1);
}

sfsistat mlfi_close(SMFICTX *ctx) {
  if (attached(ctx) == nullptr) return SMFIS_CONTINUE;
  return mlfi_cleanup(ctx, 1);
}

sfsistat mlfi_cleanup(SMFICTX *ctx, int ok) noexcept {
  // Adopted back from the library; released (lists in loops) at scope end.
  std::unique_ptr<MessageContext> msg(attached(ctx));
  if (!msg) {
    log_event("mlfi_cleanup", "private data", LOG_NO_PRIVATE_DATA);
    return failure_verdict();
  }
  smfi_setpriv(ctx, nullptr);
  return ok == 0 ? failure_verdict() : SMFIS_CONTINUE;
}

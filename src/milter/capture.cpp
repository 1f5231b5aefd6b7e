// Message capture: the callbacks that build a connection's MessageContext
// from the envelope, headers and body, and release it.
//
// Every allocation failure is logged and ends the transaction's context
// through mlfi_cleanup with failure; the message builders link a record into
// its list only once it is complete, so a context is never left half-built.
#include <cstdio>
#include <new>

#include "milter/callbacks.h"

namespace {

MessageContext *attached(SMFICTX *ctx) noexcept {
  Connection *connection = attached_connection(ctx);
  return connection != nullptr ? connection->message.get() : nullptr;
}

// Logs a failed allocation for `what` and releases the message with failure.
sfsistat out_of_memory(SMFICTX *ctx, const char *where, const char *what) noexcept {
  installed_filter().log.event(where, what, LOG_NO_MEMORY);
  return mlfi_cleanup(ctx, 0);
}

sfsistat no_context(const char *where) noexcept {
  Filter &filter = installed_filter();
  filter.log.event(where, "private data", LOG_NO_PRIVATE_DATA);
  return failure_verdict(filter);
}

// The result of a message builder: continue, or the failure it reports.
sfsistat built(SMFICTX *ctx, const char *where, const char *failed) noexcept {
  return failed == nullptr ? SMFIS_CONTINUE : out_of_memory(ctx, where, failed);
}

}  // namespace

sfsistat mlfi_envfrom(SMFICTX *ctx, char **argv) {
  Connection *connection = attached_connection(ctx);
  // A message still attached here belongs to a transaction the MTA never
  // ended; it is of no further use.
  if (connection != nullptr && connection->message) mlfi_cleanup(ctx, 1);
  if (connection == nullptr) {
    // No negotiation came first (an MTA of the oldest protocol): nothing was
    // granted.
    connection = new (std::nothrow) Connection();
    if (connection == nullptr) {
      installed_filter().log.event("mlfi_envfrom", "private data", LOG_NO_MEMORY);
      return fail_message(installed_filter());
    }
    smfi_setpriv(ctx, connection);
  }
  connection->message.reset(new (std::nothrow) MessageContext());
  if (!connection->message) {
    installed_filter().log.event("mlfi_envfrom", "private data", LOG_NO_MEMORY);
    return fail_message(installed_filter());
  }
  MessageContext &msg = *connection->message;

  char auth_authen[] = "{auth_authen}";
  if (const char *failed = set_smtp_sender(msg, smfi_getsymval(ctx, auth_authen)); failed != nullptr)
    return out_of_memory(ctx, "mlfi_envfrom", failed);
  return built(ctx, "mlfi_envfrom", set_sender(msg, argv != nullptr ? argv[0] : nullptr));
}

sfsistat mlfi_envrcpt(SMFICTX *ctx, char **argv) {
  MessageContext *msg = attached(ctx);
  if (msg == nullptr) return no_context("mlfi_envrcpt");
  if (argv == nullptr || argv[0] == nullptr) return SMFIS_CONTINUE;
  return built(ctx, "mlfi_envrcpt", add_recipient(*msg, argv[0]));
}

sfsistat mlfi_header(SMFICTX *ctx, char *name, char *value) {
  MessageContext *msg = attached(ctx);
  if (msg == nullptr) return no_context("mlfi_header");
  if (name == nullptr) {
    std::fputs("Quorvane(mlfi_header): WARNING - Header name is not set, ignoring this header.\n", stderr);
    return SMFIS_CONTINUE;
  }
  return built(ctx, "mlfi_header", add_header(*msg, name, value));
}

sfsistat mlfi_body(SMFICTX *ctx, unsigned char *bytes, size_t length) {
  MessageContext *msg = attached(ctx);
  if (msg == nullptr) return no_context("mlfi_body");
  return built(ctx, "mlfi_body", add_body_chunk(*msg, reinterpret_cast<const char *>(bytes), length));
}

// The MTA also aborts outside a transaction (at RSET or QUIT before any
// MAIL FROM), so finding nothing attached is ordinary traffic, not an error.
sfsistat mlfi_abort(SMFICTX *ctx) {
  if (attached(ctx) == nullptr) return SMFIS_CONTINUE;
  return mlfi_cleanup(ctx, 1);
}

// The end of the connection: its message, if any, and the connection itself.
sfsistat mlfi_close(SMFICTX *ctx) {
  std::unique_ptr<Connection> connection(attached_connection(ctx));
  if (connection) smfi_setpriv(ctx, nullptr);
  return SMFIS_CONTINUE;
}

sfsistat mlfi_cleanup(SMFICTX *ctx, int ok) noexcept {
  Connection *connection = attached_connection(ctx);
  Filter &filter = installed_filter();
  if (connection == nullptr || !connection->message) {
    filter.log.event("mlfi_cleanup", "private data", LOG_NO_PRIVATE_DATA);
    return failure_verdict(filter);
  }
  // Released (lists in loops) at scope end.
  std::unique_ptr<MessageContext> msg = std::move(connection->message);
  return ok == 0 ? fail_message(filter) : SMFIS_CONTINUE;
}

// Fuzz target for a whole message: capture, end-of-message dispatch and the
// mailbox record, with hostile envelope, headers and body.
//
// The input is a list of events separated by the byte 0xFF; the first byte of
// each event says what it is and the rest is its text:
//   F sender (starts a transaction)   R recipient   H header "name:value"
//   N header with no name   B body chunk (any bytes, NUL included)
//   A "{auth_authen}" value for the next sender   V verbose level (next byte)
//   E end of message   X abort   C close
// Events go through the real callbacks on a fake connection. Before each end
// of message the record PrintMail writes must be exactly record_size bytes
// (with what end of message adds). The rules run with Add Header actions
// whose placeholders cover every value (the fake takes the headers and
// recipients) and a Store In to /dev/null, so nothing is written or run.
// Aborts on a broken invariant; sanitizers catch the rest.
#include <libmilter/mfapi.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <memory>

#include "base/log.h"
#include "message/message_context.h"
#include "message/record.h"
#include "milter/callbacks.h"
#include "rules/parser.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// The one MTA connection the events run on.
struct FakeMta {
  void *priv = nullptr;
  std::string auth;
  bool has_auth = false;
  std::size_t added = 0;  // headers and recipients handed to the "MTA"
};
FakeMta connection;

constexpr char kRules[] =
    "{ From contains \"a\" or To ends \".org\" } Add Header \"X-Seen: %FROM% %SENDER.USER% %TO.DOMAIN%\";\n"
    "{ To starts \"b\" } Add Header \"Cc:%ALLTO%\", Add Header \"X-Each: %ALLTO.USER%@%ALLTO.DOMAIN%\";\n"
    "{ ! To is \"x@y\" and (Sender is \"\" or From is \"\") } Store In /dev/null;\n"
    "{ Not matched } Halt;\n"
    "{ Match all } Add Header \"%FROM%\", Add Header \":%TO%:\", Store In \"/dev/null\";\n";

// One filter per verbose level, over the same rules and log.
std::unique_ptr<Filter> filters[3];

void set_up() {
  static bool done = false;
  if (done) return;
  done = true;
  static std::FILE *sink = std::fopen("/dev/null", "w");
  static Log log;
  log.set_stream(sink);
  auto rules = std::make_shared<RuleSet>();
  std::string error;
  require(parse_rule_text(kRules, sizeof kRules - 1, *rules, sink, error));
  for (int level = 0; level < 3; ++level) filters[level] = std::make_unique<Filter>(Settings{level, true}, log, rules);
}

SMFICTX *ctx() { return reinterpret_cast<SMFICTX *>(&connection); }
MessageContext *current() {
  const auto *attached = static_cast<const Connection *>(connection.priv);
  return attached != nullptr ? attached->message.get() : nullptr;
}

// The record of the attached message, as end of message will count and
// write it at `when`, must have the counted length.
void check_record_size(std::time_t when) {
  const MessageContext *msg = current();
  if (msg == nullptr) return;
  char *buffer = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  require(out != nullptr);
  PrintMail(out, when, *msg, filters[0]->log);
  std::fclose(out);
  std::free(buffer);
  const std::int64_t counted = msg->record_size + static_cast<std::int64_t>(std::strlen(format_ctime(when).text)) +
                               kRecordDateLineEnd + kRecordEndFixed;
  require(counted == static_cast<std::int64_t>(size));
}

// Runs one event; `text` is NUL-terminated at `length` (body chunks use the
// length and may hold NULs).
void run_event(char kind, char *text, std::size_t length) {
  char *argv[] = {text, nullptr};
  switch (kind) {
    case 'F': {
      // The "{auth_authen}" macro is read once, at the sender.
      require(mlfi_envfrom(ctx(), argv) == SMFIS_CONTINUE);
      require(current() != nullptr && current()->from != nullptr);
      if (connection.has_auth) require(std::strcmp(current()->smtp_sender.get(), connection.auth.c_str()) == 0);
      connection.has_auth = false;
      break;
    }
    case 'R': mlfi_envrcpt(ctx(), argv); break;
    case 'H': {
      char *colon = std::strchr(text, ':');
      char *value = colon != nullptr ? colon + 1 : nullptr;
      if (colon != nullptr) *colon = '\0';
      mlfi_header(ctx(), text, value);
      break;
    }
    case 'N': mlfi_header(ctx(), nullptr, text); break;
    case 'B': mlfi_body(ctx(), reinterpret_cast<unsigned char *>(text), length); break;
    case 'A':
      connection.auth = text;
      connection.has_auth = true;
      break;
    case 'V': install_filter(filters[length > 0 ? static_cast<unsigned char>(text[0]) % 3 : 0].get()); break;
    case 'E': {
      const std::time_t now = std::time(nullptr);
      check_record_size(now);
      if (std::time(nullptr) == now) check_record_size(now + 1);  // both sides of a second boundary
      mlfi_eom(ctx());
      require(current() == nullptr);
      break;
    }
    case 'X': mlfi_abort(ctx()); break;
    case 'C': mlfi_close(ctx()); break;
    default: break;
  }
}

}  // namespace

extern "C" {

void *smfi_getpriv(SMFICTX *) { return connection.priv; }
int smfi_setpriv(SMFICTX *, void *data) {
  connection.priv = data;
  return MI_SUCCESS;
}
char *smfi_getsymval(SMFICTX *, char *name) {
  if (!connection.has_auth || std::strcmp(name, "{auth_authen}") != 0) return nullptr;
  return connection.auth.data();
}
int smfi_addheader(SMFICTX *, char *name, char *value) {
  require(name != nullptr && value != nullptr);
  connection.added += std::strlen(name) + std::strlen(value);
  return MI_SUCCESS;
}
int smfi_addrcpt(SMFICTX *, char *recipient) {
  require(recipient != nullptr);
  connection.added += std::strlen(recipient);
  return MI_SUCCESS;
}
int smfi_version(unsigned int *major, unsigned int *minor, unsigned int *patch) {
  *major = 1;
  *minor = 0;
  *patch = 1;
  return MI_SUCCESS;
}

int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  set_up();
  install_filter(filters[0].get());
  connection.has_auth = false;
  // An MTA that lets the filter add headers and recipients.
  unsigned long f0 = 0, f1 = 0, f2 = 0, f3 = 0;
  mlfi_negotiate(ctx(), SMFIF_ADDHDRS | SMFIF_ADDRCPT, 0, 0, 0, &f0, &f1, &f2, &f3);
  std::size_t start = 0;
  while (start < size) {
    std::size_t end = start;
    while (end < size && data[end] != 0xFF) ++end;
    if (end > start) {
      const std::size_t length = end - start - 1;
      std::string text(reinterpret_cast<const char *>(data) + start + 1, length);
      run_event(static_cast<char>(data[start]), text.data(), length);
    }
    start = end + 1;
  }
  // The connection ends: whatever is still attached is released.
  mlfi_close(ctx());
  require(connection.priv == nullptr);
  return 0;
}

}  // extern "C"

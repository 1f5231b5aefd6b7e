// quorvane-test: shows what the rules would do with a saved message.
//
//   quorvane-test -f RULES [-v] [--from ADDR] [--to ADDR]... [--auth USER]
//                 [--run] [MESSAGE|-]
//
// Loads the rule file with the daemon's own loader (same messages, status
// 70) and writes its warnings on standard error as quorvane -n does, reads
// one RFC 5322 message from a file or standard input, and builds with the
// capture callbacks' own builders the MessageContext that an MTA
// passing that message would give: the envelope as the MTA hands it (from the options,
// else from Return-Path or From and the To and Cc headers), each header as
// name and value (the one space after the colon dropped, folded lines kept
// with their line breaks), the body with CRLF line ends, and record_size
// completed as at end of message. The daemon's rule walk then runs with a
// delivery that shows what would be done: the evaluator's -v trace as the
// daemon prints it, and for each matching rule every action with the exact
// text it would use: the placeholder values made safe as the action makes
// them, once per selected recipient for a per-recipient action.
//
// Nothing is written anywhere but standard output unless --run is given;
// then Store In, Maildir and Pipe actions run for real through the daemon's
// own action code (Add Header needs an MTA and is only shown; Pipe commands
// get the daemon's default time limit), and their failures are logged on
// standard error as the daemon logs them.
//
// Exit status: 0; 1 when an action run with --run failed; 64 usage; 66 the
// message cannot be read; 70 rule file errors and exhausted memory.
#include <getopt.h>
#include <sysexits.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <new>

#include <string>

#include "actions/action_support.h"
#include "actions/actions.h"
#include "base/fatal.h"
#include "base/log.h"
#include "base/text.h"
#include "base/trace.h"
#include "message/address_list.h"
#include "message/message_context.h"
#include "message/message_reader.h"
#include "rules/lint.h"
#include "rules/parser.h"
#include "rules/rule.h"
#include "rules/template.h"
#include "rules/walk.h"

namespace {

struct Options {
  const char *program_name = "quorvane-test";
  const char *rules_path = nullptr;
  const char *message_path = nullptr;  // null or "-": standard input
  const char *sender = nullptr;        // --from
  std::unique_ptr<const char *[]> recipients;  // --to, in order
  int recipient_count = 0;
  const char *auth = nullptr;  // --auth
  bool run = false;
  int verbose = 0;
};

[[noreturn]] void fail_usage(const char *program_name, const char *message) noexcept {
  fail_start(EX_USAGE,
             "Usage: %s [-v] -f rules [--from address] [--to address]... [--auth user] [--run] [message|-]\n%s",
             program_name, message);
}

[[noreturn]] void fail_memory() noexcept {
  fail_start(EX_SOFTWARE, "Unable to allocate memory for the message.\n");
}

// A message builder's result: nothing, or the end of the program.
void built(const char *failed) noexcept {
  if (failed != nullptr) fail_memory();
}

Options read_options(int argc, char **argv) noexcept {
  enum { OPT_FROM = 256, OPT_TO, OPT_AUTH, OPT_RUN, OPT_HELP };
  static const option kLongOptions[] = {
      {"from", required_argument, nullptr, OPT_FROM}, {"to", required_argument, nullptr, OPT_TO},
      {"auth", required_argument, nullptr, OPT_AUTH}, {"run", no_argument, nullptr, OPT_RUN},
      {"help", no_argument, nullptr, OPT_HELP},       {nullptr, 0, nullptr, 0},
  };
  Options options;
  if (argc > 0 && argv[0] != nullptr) options.program_name = argv[0];
  options.recipients.reset(new (std::nothrow) const char *[static_cast<std::size_t>(argc) + 1]);
  if (!options.recipients) fail_memory();

  int ch;
  while ((ch = getopt_long(argc, argv, "f:hv", kLongOptions, nullptr)) != -1) {
    switch (ch) {
    case 'f': options.rules_path = optarg; break;
    case 'v': ++options.verbose; break;
    case OPT_FROM: options.sender = optarg; break;
    case OPT_TO: options.recipients[options.recipient_count++] = optarg; break;
    case OPT_AUTH: options.auth = optarg; break;
    case OPT_RUN: options.run = true; break;
    default: fail_usage(options.program_name, "");  // -h, --help, unknown options, missing arguments
    }
  }
  if (argc - optind > 1) fail_usage(options.program_name, "Only one message may be given.\n");
  if (optind < argc) options.message_path = argv[optind];
  if (options.rules_path == nullptr) fail_usage(options.program_name, "Missing required argument: -f\n");
  if (*options.rules_path == '\0') fail_usage(options.program_name, "Missing argument to -f: filename\n");
  return options;
}

// ---------------------------------------------------------------------------
// Reading the message file.

struct Bytes {
  std::unique_ptr<char[]> data;
  std::size_t length = 0;
  std::size_t capacity = 0;

  bool reserve(std::size_t wanted) noexcept {
    if (wanted <= capacity) return true;
    std::size_t grown = capacity < 65536 ? 65536 : capacity * 2;
    if (grown < wanted) grown = wanted;
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[grown]);
    if (!bigger) return false;
    if (length > 0) std::memcpy(bigger.get(), data.get(), length);
    data = std::move(bigger);
    capacity = grown;
    return true;
  }
};

[[noreturn]] void fail_message(const char *what, const char *path) noexcept {
  const SystemError error = last_error();
  fail_start(EX_NOINPUT, "Unable to %s message file \"%s\" (errno: %d:%s).\n", what, path, error.number,
             error.text);
}

Bytes read_message(const char *path) noexcept {
  const bool from_stdin = path == nullptr || std::strcmp(path, "-") == 0;
  const char *shown = from_stdin ? "-" : path;
  std::FILE *in = from_stdin ? stdin : std::fopen(path, "rb");
  if (in == nullptr) fail_message("open", shown);
  Bytes bytes;
  for (;;) {
    if (!bytes.reserve(bytes.length + 65536)) fail_memory();
    const std::size_t got = std::fread(bytes.data.get() + bytes.length, 1, bytes.capacity - bytes.length, in);
    bytes.length += got;
    if (got == 0) break;
  }
  if (std::ferror(in)) fail_message("read", shown);
  if (!from_stdin) std::fclose(in);
  return bytes;
}

// ---------------------------------------------------------------------------
// The envelope, when the options do not give it: the addresses of the
// headers' address lists.

bool name_is(const HeaderField &header, const char *name) noexcept { return equal_ignoring_case(header.name.get(), name); }

// The envelope sender: the first address of Return-Path, else of From; the
// null sender when neither has one.
Text sender_from_headers(const MessageContext &msg) noexcept {
  for (const char *name : {"return-path", "from"}) {
    for (const HeaderField *h = msg.headers.head.get(); h != nullptr; h = h->next.get()) {
      if (!name_is(*h, name)) continue;
      Text found;
      built(for_each_address(h->value.get(), std::strlen(h->value.get()),
                             [&](const char *address, std::size_t length) noexcept {
                               found = copy_text(address, length);
                               if (!found) fail_memory();
                               return false;  // the first one only
                             }));
      if (found) return found;
    }
  }
  Text none = copy_text("");
  if (!none) fail_memory();
  return none;
}

void recipients_from_headers(MessageContext &msg) noexcept {
  for (const HeaderField *h = msg.headers.head.get(); h != nullptr; h = h->next.get()) {
    if (!name_is(*h, "to") && !name_is(*h, "cc")) continue;
    built(for_each_address(h->value.get(), std::strlen(h->value.get()),
                           [&](const char *address, std::size_t length) noexcept {
                             if (length == 0) return true;  // <>
                             Text copy = copy_text(address, length);
                             if (!copy) fail_memory();
                             built(add_recipient(msg, copy.get()));
                             return true;
                           }));
  }
}

void set_envelope(const Options &options, MessageContext &msg) noexcept {
  built(set_smtp_sender(msg, options.auth));
  if (options.sender != nullptr) {
    built(set_sender(msg, options.sender));
  } else {
    const Text sender = sender_from_headers(msg);
    built(set_sender(msg, sender.get()));
  }
  if (options.recipient_count > 0) {
    for (int i = 0; i < options.recipient_count; ++i) built(add_recipient(msg, options.recipients[i]));
  } else {
    recipients_from_headers(msg);
  }
}

void print_envelope(const MessageContext &msg) noexcept {
  std::printf("from '%s'\n", msg.from.get());
  for (const Recipient *r = msg.recipients.head.get(); r != nullptr; r = r->next.get())
    std::printf("to '%s'\n", r->address.get());
  if (msg.smtp_sender) std::printf("auth '%s'\n", msg.smtp_sender.get());
  else std::printf("auth (none)\n");
}

// ---------------------------------------------------------------------------
// Showing and running the actions.

// How the MTA is asked to add the header text, as the Add Header action
// splits it.
void print_header_request(const char *text) noexcept {
  Text copy = copy_text(text);
  if (!copy) fail_memory();
  const HeaderParts parts = split_header(copy.get());
  if (parts.name == nullptr) {
    std::fputs(" (no header name: nothing is added)", stdout);
    return;
  }
  const char *value = parts.value != nullptr ? parts.value : "";
  std::printf(" (name '%s', value '%s'", parts.name, value);
  if (parts.value != nullptr && names_recipient(parts.name)) std::printf(", recipient '%s'", value);
  std::fputs(")", stdout);
}

// What Add Recipient would ask the MTA for.
void print_recipient_request(const char *text) noexcept {
  if (text[0] == '\0') std::fputs(" (empty: nothing is added)", stdout);
  else std::printf(" (would add recipient '%s')", text);
}

// The With clause of an action, as " (with create and envelope)".
void print_modifiers(const Action &action) noexcept {
  const bool create = (action.with & WITH_CREATE) != 0;
  const bool envelope = (action.with & WITH_ENVELOPE) != 0;
  if (!create && !envelope) return;
  std::printf(" (with %s%s%s)", create ? "create" : "", create && envelope ? " and " : "", envelope ? "envelope" : "");
}

// Shows what each matching rule would do; with --run, runs its Store In,
// Maildir and Pipe actions through the daemon's own code (Add Header and Add
// Recipient need an MTA).
class ShowDelivery final : public Delivery {
 public:
  ShowDelivery(const Options &options, const ActionEnv &env) noexcept : options_(options), env_(env) {}

  void rule_evaluated(int number, const Rule &, bool matched) noexcept override {
    if (options_.verbose > 0) std::fputc('\n', stdout);  // ends the condition trace
    std::printf("rule %d: %s\n", number, matched ? "matched" : "not matched");
  }

  bool deliver(const Action &action, const MessageContext &msg, const RuleMatch &match) noexcept override {
    const ActionKind &kind = action_kind(action.kind);
    show(action, kind, msg, match);
    if (!options_.run || action.kind == ACTION_ADD_HEADER || action.kind == ACTION_ADD_RECIPIENT) return true;
    std::fflush(stdout);  // a command's own output comes after what is shown
    const int result = kind.run(action, env_, msg, match);
    std::printf("  - %s\n", result != 0 ? "Success." : "Failed.");
    return result != 0;
  }

  void rule_done(const Rule &rule) noexcept override {
    if (rule.halt != 0) std::fputs("  Halt\n", stdout);
  }

  void no_memory(const char *) noexcept override { fail_memory(); }

 private:
  // One line per text the action would use: once, or once per recipient the
  // rule selected (once with nothing inserted when it selected none).
  void show(const Action &action, const ActionKind &kind, const MessageContext &msg, const RuleMatch &match) noexcept {
    const int made = for_each_target(action, msg, match, kind.insert, env_.log, "quorvane-test", [&](const Target &target) {
      std::printf("  %s '%s'", kind.label, target.text);
      if (action.kind == ACTION_ADD_HEADER) print_header_request(target.text);
      if (action.kind == ACTION_ADD_RECIPIENT) print_recipient_request(target.text);
      print_modifiers(action);
      std::fputc('\n', stdout);
      return 1;
    });
    if (made == 0) fail_memory();
  }

  const Options &options_;
  const ActionEnv &env_;
};

}  // namespace

int main(int argc, char **argv) {
  const Options options = read_options(argc, argv);

  RuleSet rules;
  std::string error;
  if (!load_rule_file(options.rules_path, rules, stderr, error)) fail_start(EX_SOFTWARE, "%s", error.c_str());
  warn_rules(rules.rules, stderr);
  const Bytes raw = read_message(options.message_path);

  std::unique_ptr<MessageContext> msg(new (std::nothrow) MessageContext());
  if (!msg) fail_memory();
  built(add_saved_message(*msg, raw.data.get(), raw.length));
  set_envelope(options, *msg);
  print_envelope(*msg);

  // Actions run with --run log as the daemon logs, on standard error, and
  // trace nothing: what they use is shown already.
  const Log log;
  const Trace no_trace;
  const Trace trace{options.verbose > 0 ? stdout : nullptr, options.verbose};
  const ActionEnv env{log, no_trace, std::time(nullptr)};
  ShowDelivery delivery(options, env);
  const bool ok = walk_rules(rules.rules, *msg, env.message_time, trace, delivery);
  if (std::fflush(stdout) != 0) return EX_IOERR;
  return ok ? EX_OK : 1;
}

// quorvane-test: shows what the rules would do with a saved message.
//
//   quorvane-test -f RULES [-v] [--from ADDR] [--to ADDR]... [--auth USER]
//                 [--run] [MESSAGE|-]
//
// Loads the rule file with the daemon's own loader (same messages, status
// 70), reads one RFC 5322 message from a file or standard input, and builds
// the MessageContext that the capture callbacks would build when an MTA
// passed that message: the envelope as the MTA hands it (from the options,
// else from Return-Path or From and the To and Cc headers), each header as
// name and value (the one space after the colon dropped, folded lines kept
// with their line breaks), the body with CRLF line ends, and record_size
// completed as at end of message. The rules are then evaluated in file order
// with the daemon's evaluator, whose -v trace is printed as the daemon
// prints it, and for each matching rule every action is shown with the exact
// text it would use: the placeholder values made safe as the action makes
// them, once per selected recipient for a per-recipient action. Halt ends
// the walk as in the daemon.
//
// Nothing is written anywhere but standard output unless --run is given;
// then Store In and Pipe actions run for real through the daemon's own
// action code (Add Header needs an MTA and is only shown), and their failures
// are logged on standard error as the daemon logs them.
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

#include "actions/actions.h"
#include "frontend/log.h"
#include "milter/message_context.h"
#include "rules/evaluate.h"
#include "rules/parser.h"
#include "rules/rule.h"
#include "rules/template.h"
#include "rules/text.h"

namespace {

// The largest body chunk the milter library hands a filter.
constexpr std::size_t kChunkSize = 65535;

const char *program_name = "quorvane-test";

struct Options {
  const char *rules_path = nullptr;
  const char *message_path = nullptr;  // null or "-": standard input
  const char *sender = nullptr;        // --from
  std::unique_ptr<const char *[]> recipients;  // --to, in order
  int recipient_count = 0;
  const char *auth = nullptr;  // --auth
  bool run = false;
  int verbose = 0;
};

void print_usage() noexcept {
  std::fprintf(stderr,
               "Usage: %s [-v] -f rules [--from address] [--to address]... [--auth user] [--run] [message|-]\n",
               program_name);
}

[[noreturn]] void fail_usage(const char *message) noexcept {
  print_usage();
  if (message != nullptr) std::fputs(message, stderr);
  std::exit(EX_USAGE);
}

[[noreturn]] void fail_memory() noexcept {
  std::fputs("Unable to allocate memory for the message.\n", stderr);
  std::exit(EX_SOFTWARE);
}

Options read_options(int argc, char **argv) noexcept {
  enum { OPT_FROM = 256, OPT_TO, OPT_AUTH, OPT_RUN, OPT_HELP };
  static const option kLongOptions[] = {
      {"from", required_argument, nullptr, OPT_FROM}, {"to", required_argument, nullptr, OPT_TO},
      {"auth", required_argument, nullptr, OPT_AUTH}, {"run", no_argument, nullptr, OPT_RUN},
      {"help", no_argument, nullptr, OPT_HELP},       {nullptr, 0, nullptr, 0},
  };
  Options options;
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
    default: fail_usage(nullptr);  // -h, --help, unknown options, missing arguments
    }
  }
  if (argc - optind > 1) fail_usage("Only one message may be given.\n");
  if (optind < argc) options.message_path = argv[optind];
  if (options.rules_path == nullptr) fail_usage("Missing required argument: -f\n");
  if (*options.rules_path == '\0') fail_usage("Missing argument to -f: filename\n");
  return options;
}

// ---------------------------------------------------------------------------
// Reading the message.

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
  const int saved = errno;
  std::fprintf(stderr, "Unable to %s message file \"%s\" (errno: %d:%s).\n", what, path, saved,
               std::strerror(saved));
  std::exit(EX_NOINPUT);
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

// One line of the raw message: [start, end) without its line break (LF or
// CR LF); `next` is where the following line starts.
struct Line {
  std::size_t start, end, next;
};

Line line_at(const Bytes &raw, std::size_t at) noexcept {
  const char *base = raw.data.get();
  const void *lf = at < raw.length ? std::memchr(base + at, '\n', raw.length - at) : nullptr;
  Line line{at, raw.length, raw.length};
  if (lf != nullptr) {
    line.end = static_cast<std::size_t>(static_cast<const char *>(lf) - base);
    line.next = line.end + 1;
  }
  if (line.end > line.start && base[line.end - 1] == '\r') --line.end;
  return line;
}

bool is_blank(char ch) noexcept { return ch == ' ' || ch == '\t'; }

// Length of the header name when `line` starts a header ("Name:"), else 0.
std::size_t header_name_length(const Bytes &raw, const Line &line) noexcept {
  for (std::size_t i = line.start; i < line.end; ++i) {
    const unsigned char ch = static_cast<unsigned char>(raw.data[i]);
    if (ch == ':') return i - line.start;
    if (ch <= ' ' || ch >= 127) return 0;
  }
  return 0;
}

// Appends one header: the name as written, and the value after the colon
// without the one space that follows it, its folded lines joined with LF as
// the MTA passes them. Returns the offset after the header's last line.
std::size_t add_header(const Bytes &raw, const Line &first, std::size_t name_length, MessageContext &msg) noexcept {
  const char *base = raw.data.get();
  std::size_t value_start = first.start + name_length + 1;
  if (value_start < first.end && base[value_start] == ' ') ++value_start;

  // First pass: the value's length and the end of its continuation lines.
  std::size_t length = first.end - value_start;
  std::size_t next = first.next;
  while (next < raw.length && is_blank(base[next])) {
    const Line more = line_at(raw, next);
    length += 1 + (more.end - more.start);
    next = more.next;
  }

  std::unique_ptr<HeaderField> header(new (std::nothrow) HeaderField());
  if (!header) fail_memory();
  header->name = copy_text(base + first.start, name_length);
  header->value.reset(new (std::nothrow) char[length + 1]);
  if (!header->name || !header->value) fail_memory();
  char *out = header->value.get();
  std::memcpy(out, base + value_start, first.end - value_start);
  out += first.end - value_start;
  for (std::size_t at = first.next; at < next;) {
    const Line more = line_at(raw, at);
    *out++ = '\n';
    std::memcpy(out, base + more.start, more.end - more.start);
    out += more.end - more.start;
    at = more.next;
  }
  *out = '\0';
  msg.record_size += static_cast<std::int64_t>(name_length + length) + 3;
  msg.headers.append(std::move(header));
  return next;
}

void add_body_chunk(const char *bytes, std::size_t length, MessageContext &msg) noexcept {
  std::unique_ptr<BodyChunk> chunk(new (std::nothrow) BodyChunk());
  if (!chunk) fail_memory();
  chunk->data.reset(new (std::nothrow) char[length]);
  if (!chunk->data) fail_memory();
  std::memcpy(chunk->data.get(), bytes, length);
  chunk->length = static_cast<std::int32_t>(length);
  msg.record_size += chunk->length;
  msg.body.append(std::move(chunk));
}

// The body from `at` on, in the form the MTA passes it: every line ending in
// CR LF, a last line without a line break given one.
void add_body(const Bytes &raw, std::size_t at, MessageContext &msg) noexcept {
  if (at >= raw.length) return;
  const char *base = raw.data.get();
  std::size_t bare = 0;
  for (std::size_t i = at; i < raw.length; ++i)
    if (base[i] == '\n' && (i == at || base[i - 1] != '\r')) ++bare;
  const bool unterminated = base[raw.length - 1] != '\n';
  const std::size_t length = raw.length - at + bare + (unterminated ? 2 : 0);
  std::unique_ptr<char[]> body(new (std::nothrow) char[length]);
  if (!body) fail_memory();
  char *out = body.get();
  for (std::size_t i = at; i < raw.length; ++i) {
    if (base[i] == '\n' && (i == at || base[i - 1] != '\r')) *out++ = '\r';
    *out++ = base[i];
  }
  if (unterminated) {
    *out++ = '\r';
    *out++ = '\n';
  }
  for (std::size_t done = 0; done < length; done += kChunkSize)
    add_body_chunk(body.get() + done, length - done < kChunkSize ? length - done : kChunkSize, msg);
}

// Headers up to the first empty line (or the first line that is neither a
// header nor a folded continuation), then the body. A leading mailbox "From "
// line is skipped, so a record cut from a Store In file can be read back.
void add_content(const Bytes &raw, MessageContext &msg) noexcept {
  std::size_t at = 0;
  if (raw.length >= 5 && std::memcmp(raw.data.get(), "From ", 5) == 0) at = line_at(raw, 0).next;
  while (at < raw.length) {
    const Line line = line_at(raw, at);
    if (line.end == line.start) {
      at = line.next;
      break;
    }
    const std::size_t name_length = header_name_length(raw, line);
    if (name_length == 0) break;  // the body starts here
    at = add_header(raw, line, name_length, msg);
  }
  add_body(raw, at, msg);
}

// ---------------------------------------------------------------------------
// The envelope, when the options do not give it: addresses out of header
// address lists.

bool name_is(const HeaderField &header, const char *name) noexcept {
  const char *a = header.name.get();
  for (; *a != '\0' && *name != '\0'; ++a, ++name)
    if (ascii_tolower(static_cast<unsigned char>(*a)) != *name) return false;
  return *a == '\0' && *name == '\0';
}

// Calls `emit(address, length)` for each address of an RFC 5322 address list:
// the part in angle brackets when there is one (without a source route),
// else the words of the mailbox with comments and blanks left out. Display
// names, comments and group names are skipped. Returns false when `emit`
// does.
template <class Emit> bool for_each_address(const char *text, Emit emit) noexcept {
  const std::size_t size = std::strlen(text) + 1;
  std::unique_ptr<char[]> word(new (std::nothrow) char[size]);
  if (!word) fail_memory();
  std::size_t word_length = 0;
  const char *angle = nullptr;
  std::size_t angle_length = 0;

  auto flush = [&]() noexcept {
    const char *address = angle != nullptr ? angle : word.get();
    std::size_t length = angle != nullptr ? angle_length : word_length;
    if (angle != nullptr && length > 0 && address[0] == '@') {  // <@relay,@relay:user@domain>
      const void *colon = std::memchr(address, ':', length);
      if (colon != nullptr) {
        const std::size_t skipped = static_cast<std::size_t>(static_cast<const char *>(colon) - address) + 1;
        address += skipped;
        length -= skipped;
      }
    }
    const bool found = angle != nullptr || word_length > 0;
    word_length = 0;
    angle = nullptr;
    angle_length = 0;
    return !found || emit(address, length);
  };

  for (const char *p = text; *p != '\0'; ++p) {
    switch (*p) {
    case '(': {  // comment, nested, with quoted pairs
      int depth = 1;
      while (depth > 0 && p[1] != '\0') {
        ++p;
        if (*p == '\\' && p[1] != '\0') ++p;
        else if (*p == '(') ++depth;
        else if (*p == ')') --depth;
      }
      break;
    }
    case '"':  // quoted string, kept with its quotes
      word[word_length++] = '"';
      for (++p; *p != '\0' && *p != '"'; ++p) {
        if (*p == '\\' && p[1] != '\0') word[word_length++] = *p++;
        word[word_length++] = *p;
      }
      if (*p == '\0') --p;  // unterminated: the loop ends at the NUL
      else word[word_length++] = '"';
      break;
    case '<': {
      const char *close = std::strchr(p + 1, '>');
      angle = p + 1;
      angle_length = close != nullptr ? static_cast<std::size_t>(close - angle) : std::strlen(angle);
      p = close != nullptr ? close : p + std::strlen(p) - 1;
      break;
    }
    case ':': word_length = 0; break;  // a group's name
    case ',':
    case ';':
      if (!flush()) return false;
      break;
    case ' ': case '\t': case '\r': case '\n': break;
    default: word[word_length++] = *p; break;
    }
  }
  return flush();
}

// The envelope sender: the first address of Return-Path, else of From; the
// null sender when neither has one.
Text sender_from_headers(const MessageContext &msg) noexcept {
  for (const char *name : {"return-path", "from"}) {
    for (const HeaderField *h = msg.headers.head.get(); h != nullptr; h = h->next.get()) {
      if (!name_is(*h, name)) continue;
      Text found;
      for_each_address(h->value.get(), [&](const char *address, std::size_t length) noexcept {
        found = copy_text(address, length);
        if (!found) fail_memory();
        return false;  // the first one only
      });
      if (found) return found;
    }
  }
  Text none = copy_text("");
  if (!none) fail_memory();
  return none;
}

void add_recipient(const char *address, MessageContext &msg) noexcept {
  std::unique_ptr<Recipient> recipient(new (std::nothrow) Recipient());
  if (!recipient) fail_memory();
  recipient->address = normalize_address(address);
  if (!recipient->address) fail_memory();
  msg.recipients.append(std::move(recipient));
}

void recipients_from_headers(MessageContext &msg) noexcept {
  for (const HeaderField *h = msg.headers.head.get(); h != nullptr; h = h->next.get()) {
    if (!name_is(*h, "to") && !name_is(*h, "cc")) continue;
    for_each_address(h->value.get(), [&](const char *address, std::size_t length) noexcept {
      if (length == 0) return true;
      Text copy = copy_text(address, length);
      if (!copy) fail_memory();
      add_recipient(copy.get(), msg);
      return true;
    });
  }
}

void set_envelope(const Options &options, MessageContext &msg) noexcept {
  if (options.auth != nullptr) {
    msg.smtp_sender = copy_text(options.auth);
    if (!msg.smtp_sender) fail_memory();
  }
  msg.from = options.sender != nullptr ? normalize_address(options.sender)
                                       : normalize_address(sender_from_headers(msg).get());
  if (!msg.from) fail_memory();
  msg.record_size += static_cast<std::int64_t>(std::strlen(msg.from.get())) + 9;
  if (options.recipient_count > 0) {
    for (int i = 0; i < options.recipient_count; ++i) add_recipient(options.recipients[i], msg);
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

InsertMode insert_mode_of(const Action &action) noexcept {
  switch (action.kind) {
  case ACTION_STORE_IN: return INSERT_PATH_SAFE;
  case ACTION_PIPE: return INSERT_SHELL_SAFE;
  default: return INSERT_AS_IS;
  }
}

const char *label_of(const Action &action) noexcept {
  switch (action.kind) {
  case ACTION_STORE_IN: return "Store In";
  case ACTION_ADD_HEADER: return "Add Header";
  default: return "Pipe";
  }
}

bool is_recipient_header(const char *name, std::size_t length) noexcept {
  char lower[4] = {};
  if (length < 2 || length > 3) return false;
  for (std::size_t i = 0; i < length; ++i) lower[i] = static_cast<char>(ascii_tolower(static_cast<unsigned char>(name[i])));
  return std::strcmp(lower, "to") == 0 || std::strcmp(lower, "cc") == 0 || std::strcmp(lower, "bcc") == 0;
}

// How the MTA is asked to add the header text: split at the first colon
// after any leading colons, as the Add Header action splits it.
void print_header_request(const char *text) noexcept {
  while (*text == ':') ++text;
  const std::size_t name_length = std::strcspn(text, ":");
  if (name_length == 0) {
    std::fputs(" (no header name: nothing is added)", stdout);
    return;
  }
  const char *value = text[name_length] == ':' && text[name_length + 1] != '\0' ? text + name_length + 1 : "";
  std::printf(" (name '%.*s', value '%s'", static_cast<int>(name_length), text, value);
  if (*value != '\0' && is_recipient_header(text, name_length)) std::printf(", recipient '%s'", value);
  std::fputs(")", stdout);
}

void print_expansion(const Action &action, const MessageContext &msg) noexcept {
  Text text = expand_template(action, msg, insert_mode_of(action));
  if (!text) fail_memory();
  std::printf("  %s '%s'", label_of(action), text.get());
  if (action.kind == ACTION_ADD_HEADER) print_header_request(text.get());
  std::fputc('\n', stdout);
}

Recipient *next_matched(Recipient *from) noexcept {
  while (from != nullptr && from->matched == 0) from = from->next.get();
  return from;
}

// One line per text the action would use: once, or once per recipient the
// rule selected (once with nothing inserted when it selected none).
void show_action(const Action &action, MessageContext &msg) noexcept {
  msg.cursor = action.each_recipient != 0 ? next_matched(msg.recipients.head.get()) : nullptr;
  do {
    print_expansion(action, msg);
    if (msg.cursor != nullptr) msg.cursor = next_matched(msg.cursor->next.get());
  } while (msg.cursor != nullptr);
}

// Runs a Store In or Pipe action through the daemon's code. Returns its result.
int run_action(const Action &action, const std::time_t &message_time, MessageContext &msg) noexcept {
  std::fflush(stdout);  // a command's own output comes after what is shown
  const int saved_verbose = verbose_level;
  verbose_level = 0;  // the paths are shown above already
  msg.cursor = nullptr;
  const int result = action.kind == ACTION_STORE_IN ? ActionStoreIn(action, message_time, msg)
                                                    : ActionPipe(action, message_time, msg);
  msg.cursor = nullptr;
  verbose_level = saved_verbose;
  std::printf("  - %s\n", result != 0 ? "Success." : "Failed.");
  return result;
}

// Walks the rules as the end-of-message dispatcher does. Returns 0 when an
// action run with --run failed, else 1.
int walk_rules(const Options &options, MessageContext &msg) noexcept {
  const std::time_t message_time = std::time(nullptr);
  msg.record_size += static_cast<std::int64_t>(std::strlen(format_ctime(message_time).text)) + 1 + 3;

  int ok = 1;
  int number = 0;
  for (const Rule *rule = rule_list.head.get(); rule != nullptr; rule = rule->next.get()) {
    ++number;
    const int matched = evaluate_rule(*rule, msg);
    if (options.verbose > 0) std::fputc('\n', stdout);  // ends the condition trace
    std::printf("rule %d: %s\n", number, matched != 0 ? "matched" : "not matched");
    if (matched == 0) continue;
    msg.any_rule_matched = 1;
    for (const Action *action = rule->actions.head.get(); action != nullptr; action = action->next.get()) {
      show_action(*action, msg);
      if (options.run && action->kind != ACTION_ADD_HEADER && run_action(*action, message_time, msg) == 0) ok = 0;
    }
    if (rule->halt != 0) {
      std::fputs("  Halt\n", stdout);
      break;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 0 && argv[0] != nullptr) program_name = argv[0];
  const Options options = read_options(argc, argv);

  load_rule_file(options.rules_path);  // ends the process on any error
  const Bytes raw = read_message(options.message_path);

  std::unique_ptr<MessageContext> msg(new (std::nothrow) MessageContext());
  if (!msg) fail_memory();
  add_content(raw, *msg);
  set_envelope(options, *msg);
  print_envelope(*msg);

  verbose_level = options.verbose;
  const int ok = walk_rules(options, *msg);
  if (std::fflush(stdout) != 0) return EX_IOERR;
  return ok != 0 ? EX_OK : 1;
}

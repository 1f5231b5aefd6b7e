// Rule file parser.
//
// A handful of mutually calling readers, each of which knows what may come
// next, read the rule file one byte at a time with one character of push-back
// (read_token, and the choice between Sender and Size). There is no
// tokenizer: the place in the grammar is the place in the call chain. The
// model is built while reading, a Regex expression compiled as soon as it is
// read; each rule is appended as soon as its "{" is read, so after a syntax
// error the caller's list holds what was built up to that point.
//
// A syntax error records its message and every reader returns early (null or
// 0) up the chain; the message goes back to the caller, and nothing here ends
// the process. The
// one warning (a missing connector) is written to `diagnostics` and parsing
// goes on after it.
//
// Diagnostics: the messages of the rule language, written byte for byte;
// "Unable to allocate memory while reading the config file.\n" when the model
// cannot be allocated; "Parsing error - conditions nested too deeply\n" when
// "(" or "and"/"or" nest deeper than kMaxDepth, which would otherwise let a
// broken rule file overflow the stack. The messages of Header, Size, Matches
// and Regex terms quote the offending token (a header name, a size, a
// pattern or an expression as written), and a Regex adds RE2's reason.
#include "rules/parser.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "base/text.h"
#include "rules/regex.h"
#include "rules/template.h"
#include "rules/vocabulary.h"
#include "rules/wildcard.h"

namespace {

// Longest chain of open conditions: each "(" and each "and"/"or" opens one.
constexpr int kMaxDepth = 10000;

// A string token holds at most kTokenSize - 1 bytes.
constexpr std::size_t kTokenSize = 256;

constexpr char kNoMemory[] = "Unable to allocate memory while reading the config file.\n";
constexpr char kNoAction[] = "Parsing error - expected at least one action\n";

struct Reader {
  std::FILE *in;
  std::FILE *diagnostics;
  int depth = 0;
  int line = 1;  // of the last byte read
  bool failed = false;
  bool has_add_header = false;
  bool has_add_recipient = false;
  char message[1024] = {};  // room for a 255-byte expression and RE2's reason

  int get() noexcept {
    const int ch = std::getc(in);
    if (ch == '\n') ++line;
    return ch;
  }
  void unget(int ch) noexcept {
    if (ch == '\n') --line;
    std::ungetc(ch, in);
  }
};

// Records the first error; every caller then returns at once.
int fail(Reader &r, const char *message) noexcept {
  if (!r.failed) {
    std::snprintf(r.message, sizeof r.message, "%s", message);
    r.failed = true;
  }
  return 0;
}

// The same with a formatted message.
[[gnu::format(printf, 2, 3)]] int fail_format(Reader &r, const char *format, ...) noexcept {
  if (!r.failed) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(r.message, sizeof r.message, format, arguments);
    va_end(arguments);
    r.failed = true;
  }
  return 0;
}

bool is_blank(int ch) noexcept { return ch == '\t' || ch == '\n' || ch == '\v' || ch == '\r' || ch == ' '; }

bool ends_unquoted_token(int ch) noexcept { return ch == ')' || ch == ',' || ch == ';' || ch == '}'; }

// The next character that is neither blank nor inside a comment, or EOF.
int skip_blanks(Reader &r) noexcept {
  bool in_comment = false;
  for (;;) {
    const int ch = r.get();
    if (ch == EOF) return EOF;
    if (ch == '\t' || ch == '\v' || ch == '\r' || ch == ' ') continue;
    if (ch == '\n') {
      in_comment = false;
      continue;
    }
    if (ch == '#') {
      in_comment = true;
      continue;
    }
    if (!in_comment) return ch;
  }
}

// Reads the rest of a keyword letter by letter, lower-casing each byte read;
// stops at the first byte that differs.
int expect_keyword(Reader &r, const char *rest, const char *message) noexcept {
  for (const char *p = rest; *p != '\0'; ++p) {
    int ch = r.get();
    if (ch != EOF) ch = ascii_tolower(ch);
    if (ch != static_cast<unsigned char>(*p)) return fail(r, message);
  }
  return 1;
}

// One string token: quotes toggle quoting anywhere, a backslash takes the
// next byte literally, and an unquoted blank or ")", ",", ";", "}" ends it
// (the latter four are pushed back for the caller). Null on error.
Text read_token(Reader &r) noexcept {
  char buffer[kTokenSize];
  std::size_t length = 0;
  bool quoting = false;
  int ch = skip_blanks(r);
  for (;;) {
    if (ch == EOF || ch == '\0') {
      fail(r, "Unexpected end-of-file while trying to parse string.\n");
      return nullptr;
    }
    if (ch == '"') {
      quoting = !quoting;
      ch = r.get();
      continue;
    }
    if (!quoting && is_blank(ch)) break;
    if (!quoting && ends_unquoted_token(ch)) {
      r.unget(ch);
      break;
    }
    if (ch == '\\') {
      ch = r.get();
      // A NUL stands for the end of the file here too: a token never holds one.
      if (ch == EOF || ch == '\0') {
        fail(r, "Unexpected end-of-file while trying to parse string.\n");
        return nullptr;
      }
    }
    buffer[length++] = static_cast<char>(ch);
    ch = r.get();
    if (length == kTokenSize) {
      fail(r, "Buffer overflow! Perhaps the configuration file is missing a closing quote?\n");
      return nullptr;
    }
  }
  Text token = copy_text(buffer, length);
  if (!token) fail(r, kNoMemory);
  return token;
}

// A keyword chosen by its first letter (either case), then read to its end
// with expect_keyword, with `message` when it is not there; `value` is what
// it stands for.
template <class Value> struct Keyword {
  int first;  // lower case
  const char *rest;
  const char *message;
  Value value;
};

// The keyword of `table` that starts with `ch`, or null.
template <class Value, std::size_t N>
const Keyword<Value> *find_keyword(const Keyword<Value> (&table)[N], int ch) noexcept {
  if (ch == EOF) return nullptr;
  for (const Keyword<Value> &k : table)
    if (ascii_tolower(ch) == k.first) return &k;
  return nullptr;
}

// The keywords as the vocabulary spells them, split after the letter that
// chooses them.
constexpr Keyword<MatchOp> operator_keyword(MatchOp op, const char *message) noexcept {
  return {kOperatorRows[op].keyword[0], kOperatorRows[op].keyword + 1, message, op};
}

constexpr Keyword<TestField> field_keyword(TestField field, const char *message) noexcept {
  return {kFieldRows[field].keyword[0], kFieldRows[field].keyword + 1, message, field};
}

constexpr Keyword<MatchOp> kOperators[] = {
    operator_keyword(OP_CONTAINS, "Parsing error; expected \"Contains\"\n"),
    operator_keyword(OP_ENDS, "Parsing error; expected \"Ends\"\n"),
    operator_keyword(OP_IS, "Parsing error; expected \"Is\"\n"),
    operator_keyword(OP_MATCHES, "Parsing error; expected \"Matches\"\n"),
    operator_keyword(OP_REGEX, "Parsing error; expected \"Regex\"\n"),
    operator_keyword(OP_STARTS, "Parsing error; expected \"Starts\"\n"),
};

constexpr Keyword<MatchOp> kSizeOperators[] = {
    operator_keyword(OP_OVER, "Parsing error; expected \"Over\"\n"),
    operator_keyword(OP_UNDER, "Parsing error; expected \"Under\"\n"),
};

std::unique_ptr<MatchTerm> new_term(Reader &r, TestField field) noexcept {
  std::unique_ptr<MatchTerm> term(new (std::nothrow) MatchTerm());
  if (!term) {
    fail(r, kNoMemory);
    return nullptr;
  }
  term->field = field;
  return term;
}

// Optional "!" and an operator of `table`; the keyword read, or null after
// `missing` was reported.
template <std::size_t N>
const Keyword<MatchOp> *read_operator(Reader &r, MatchTerm &term, const Keyword<MatchOp> (&table)[N],
                                      const char *missing) noexcept {
  int ch = skip_blanks(r);
  if (ch == '!') {
    term.negated = 1;
    ch = skip_blanks(r);
  }
  const Keyword<MatchOp> *keyword = find_keyword(table, ch);
  if (keyword == nullptr) {
    fail(r, missing);
    return nullptr;
  }
  if (!expect_keyword(r, keyword->rest, keyword->message)) return nullptr;
  term.op = keyword->value;
  return keyword;
}

// Makes the pattern ready for its operator: a Regex expression is compiled
// as written (case-sensitive for Sender only, as lower-casing would change
// escapes such as \S); other patterns of From, To and Header are
// lower-cased, and a Matches pattern must close every "[".
int prepare_pattern(Reader &r, MatchTerm &term) noexcept {
  char *pattern = term.pattern.get();
  if (term.op == OP_REGEX) {
    char reason[512];
    term.regex = compile_regex(pattern, term.field == FIELD_SMTP_SENDER, reason, sizeof reason);
    if (!term.regex) return fail_format(r, "Parsing error - invalid regular expression \"%s\": %s\n", pattern, reason);
    return 1;
  }
  if (term.op == OP_MATCHES && !wildcard_valid(pattern, std::strlen(pattern)))
    return fail_format(r, "Parsing error - unclosed [ in wildcard pattern \"%s\"\n", pattern);
  if (term.field != FIELD_SMTP_SENDER) lowercase_in_place(pattern);
  return 1;
}

// A test on `field`: optional "!", operator, pattern. Not matched and Match
// all read nothing more.
std::unique_ptr<MatchTerm> parse_term(Reader &r, TestField field) noexcept {
  std::unique_ptr<MatchTerm> term = new_term(r, field);
  if (!term) return nullptr;
  if (field == FIELD_NOT_MATCHED || field == FIELD_MATCH_ALL) return term;

  if (!read_operator(r, *term, kOperators, "Parsing error; expected a field location\n")) return nullptr;
  term->pattern = read_token(r);
  if (!term->pattern) return nullptr;
  if (!prepare_pattern(r, *term)) return nullptr;
  return term;
}

// A field name as RFC 5322 allows it: printable ASCII but ":", at least one.
bool is_header_name(const char *name) noexcept {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    const unsigned char ch = static_cast<unsigned char>(*name);
    if (ch <= ' ' || ch >= 127 || ch == ':') return false;
  }
  return true;
}

// After "Header" or "Address": the field name, then a term as for the other
// fields.
std::unique_ptr<MatchTerm> parse_header_term(Reader &r, TestField field) noexcept {
  Text name = read_token(r);
  if (!name) return nullptr;
  if (!is_header_name(name.get())) {
    fail_format(r, "Parsing error - invalid header name \"%s\"\n", name.get());
    return nullptr;
  }
  std::unique_ptr<MatchTerm> term = parse_term(r, field);
  if (term) term->header_name = std::move(name);
  return term;
}

// A size: decimal digits and an optional K, M or G (either case) that
// multiplies by 1024, 1024^2 or 1024^3. False when the text is anything
// else or the value does not fit in 64 bits.
bool read_size(const char *text, std::uint64_t &size) noexcept {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const char *p = text;
  std::uint64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const auto digit = static_cast<std::uint64_t>(*p - '0');
    if (value > (kMax - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (p == text) return false;
  int shift = 0;
  switch (*p) {
  case 'K': case 'k': shift = 10; ++p; break;
  case 'M': case 'm': shift = 20; ++p; break;
  case 'G': case 'g': shift = 30; ++p; break;
  default: break;
  }
  if (*p != '\0' || value > (kMax >> shift)) return false;
  size = value << shift;
  return true;
}

// After "Size": optional "!", Over or Under, and a size.
std::unique_ptr<MatchTerm> parse_size_term(Reader &r) noexcept {
  std::unique_ptr<MatchTerm> term = new_term(r, FIELD_SIZE);
  if (!term) return nullptr;
  if (!read_operator(r, *term, kSizeOperators, "Parsing error; expected \"Over\" or \"Under\"\n")) return nullptr;
  const Text size = read_token(r);
  if (!size) return nullptr;
  if (!read_size(size.get(), term->size)) {
    fail_format(r, "Parsing error - expected a size, found \"%s\"\n", size.get());
    return nullptr;
  }
  return term;
}

constexpr Keyword<TestField> kOperands[] = {
    // Before Address an "A" started no test: a misspelt one fails as any
    // other letter does (parse_operand).
    field_keyword(FIELD_ADDRESS, nullptr),
    field_keyword(FIELD_FROM, "Parsing error - expected From\n"),
    field_keyword(FIELD_HEADER, "Parsing error - expected Header\n"),
    field_keyword(FIELD_MATCH_ALL, "Parsing error - expected Match All\n"),
    field_keyword(FIELD_NOT_MATCHED, "Parsing error - expected Not Matched\n"),
    field_keyword(FIELD_SMTP_SENDER, "Parsing error - expected Sender\n"),
    field_keyword(FIELD_TO, "Parsing error - expected To\n"),
};

// "S" starts Sender and Size: "Si" is read as Size, anything else as Sender,
// with Sender's message when it is not. Size is chosen by its second letter.
constexpr Keyword<TestField> kSize = {kFieldRows[FIELD_SIZE].keyword[1], kFieldRows[FIELD_SIZE].keyword + 2,
                                      "Parsing error - expected Size\n", FIELD_SIZE};

const Keyword<TestField> *sender_or_size(Reader &r, const Keyword<TestField> *sender) noexcept {
  const int ch = r.get();
  if (ch != EOF && ascii_tolower(ch) == kSize.first) return &kSize;
  r.unget(ch);
  return sender;
}

// The test after an operand keyword.
std::unique_ptr<MatchTerm> parse_field(Reader &r, TestField field) noexcept {
  switch (field) {
  case FIELD_HEADER:
  case FIELD_ADDRESS: return parse_header_term(r, field);
  case FIELD_SIZE: return parse_size_term(r);
  case FIELD_UNDEFINED:
  case FIELD_SMTP_SENDER:
  case FIELD_FROM:
  case FIELD_TO:
  case FIELD_NOT_MATCHED:
  case FIELD_MATCH_ALL: break;
  }
  return parse_term(r, field);
}

std::unique_ptr<ConditionNode> parse_condition(Reader &r) noexcept;

// The operand starting with `ch`: a parenthesised condition or a test.
int parse_operand(Reader &r, ConditionNode &node, int ch) noexcept {
  if (ch == EOF || ch == '\0') return fail(r, "Parsing error - unexpected End of File\n");
  if (ch == '(') {
    node.left = parse_condition(r);
    return node.left ? 1 : 0;
  }
  char message[64];
  std::snprintf(message, sizeof message, "Parsing error - unexpected character %c\n", ch);
  if (const Keyword<TestField> *k = find_keyword(kOperands, ch); k != nullptr) {
    if (k->value == FIELD_SMTP_SENDER) k = sender_or_size(r, k);
    if (!expect_keyword(r, k->rest, k->message != nullptr ? k->message : message)) return 0;
    node.left_term = parse_field(r, k->value);
    return node.left_term ? 1 : 0;
  }
  return fail(r, message);
}

// The connector after an operand: "and"/"or" and the rest of the chain, or
// ")"/"}" closing it. Anything else is reported and taken as the close.
int parse_connector(Reader &r, ConditionNode &node) noexcept {
  const int ch = skip_blanks(r);
  if (ch == 'A' || ch == 'a' || ch == 'O' || ch == 'o') {
    const bool is_and = ch == 'A' || ch == 'a';
    if (!expect_keyword(r, is_and ? "nd" : "r", is_and ? "Parsing error - expected AND\n" : "Parsing error - expected OR\n"))
      return 0;
    node.op = is_and ? COND_AND : COND_OR;
    node.right = parse_condition(r);
    return node.right ? 1 : 0;
  }
  if (ch == ')' || ch == '}') return 1;
  if (r.diagnostics != nullptr) {
    if (ch == EOF)
      std::fputs("Parsing error - expected o, a or ), found \"EOF\"\n", r.diagnostics);
    else
      std::fprintf(r.diagnostics, "Parsing error - expected o, a or ), found \"%c\"\n", ch);
  }
  return 1;
}

// One condition: optional "!", operand, connector. Recurses for "(" and for
// the rest of an "and"/"or" chain, so the depth is bounded.
std::unique_ptr<ConditionNode> parse_condition(Reader &r) noexcept {
  if (r.depth >= kMaxDepth) {
    fail(r, "Parsing error - conditions nested too deeply\n");
    return nullptr;
  }
  std::unique_ptr<ConditionNode> node(new (std::nothrow) ConditionNode());
  if (!node) {
    fail(r, kNoMemory);
    return nullptr;
  }
  ++r.depth;
  int ch = skip_blanks(r);
  if (ch == '!') {
    node->negated = 1;
    ch = skip_blanks(r);
  }
  const int ok = parse_operand(r, *node, ch) && parse_connector(r, *node);
  --r.depth;
  if (!ok) return nullptr;
  return node;
}

// An action with a template argument, appended to `rule`.
int read_action(Reader &r, Rule &rule, ActionType kind) noexcept {
  Action *action = add_action(rule);
  if (action == nullptr) return fail(r, kNoMemory);
  action->kind = kind;
  const Text argument = read_token(r);
  if (!argument) return 0;
  if (!parse_template(argument.get(), rule, *action)) return fail(r, kNoMemory);
  action->literal_length = template_literal_length(action->pieces.head.get());
  return 1;
}

constexpr char kExpectedComma[] =
    "Parsing error - expected , or ;\n"
    "Be aware that the config file format now requires rules to end in \";\", so your config "
    "file may be out of date\n";

// The modifiers of a With clause, after "With": one or more joined by "and".
// The first byte after the argument has been read as `ch`; anything but a
// With clause is pushed back for the caller.
int read_with_clause(Reader &r, Action &action) noexcept {
  int ch = skip_blanks(r);
  if (ch != 'W' && ch != 'w') {
    if (ch != EOF) r.unget(ch);
    return 1;
  }
  // Before the clause a "W" here ended no rule: a misspelt "With" still
  // fails as it always has.
  if (!expect_keyword(r, "ith", kExpectedComma)) return 0;
  ch = r.get();
  if (!is_blank(ch)) return fail(r, kExpectedComma);
  r.unget(ch);
  for (;;) {
    ch = skip_blanks(r);
    char word[64];
    std::size_t length = 0;
    while (ch != EOF && ch != '\0' && !is_blank(ch) && !ends_unquoted_token(ch) && ch != '#') {
      if (length + 1 < sizeof word) word[length++] = static_cast<char>(ch);
      ch = r.get();
    }
    word[length] = '\0';
    if (ch != EOF) r.unget(ch);
    // Pipe has no directories to make.
    const bool may_create = action.kind != ACTION_PIPE;
    if (equal_ignoring_case(word, "envelope")) {
      action.with |= WITH_ENVELOPE;
    } else if (may_create && equal_ignoring_case(word, "create")) {
      action.with |= WITH_CREATE;
    } else {
      return fail_format(r, "Parsing error - line %d: expected %s after With, found \"%s\"\n", r.line,
                         may_create ? "Create or Envelope" : "Envelope", word);
    }
    ch = skip_blanks(r);
    if (ch != 'A' && ch != 'a') {
      if (ch != EOF) r.unget(ch);
      return 1;
    }
    if (!expect_keyword(r, "nd", kExpectedComma)) return 0;
  }
}

// One action keyword starting with `ch`, and its argument.
int parse_action(Reader &r, Rule &rule, int ch) noexcept {
  switch (ch) {
  case 'A':
  case 'a': {
    // Add Header and Add Recipient; anything else that starts with "Add "
    // fails as it did before there were two.
    constexpr char kExpectedAdd[] = "Parsing error - expected Add Header\n";
    if (!expect_keyword(r, "dd ", kExpectedAdd)) return 0;
    const int next = r.get();
    const int letter = next == EOF ? EOF : ascii_tolower(next);
    if (letter == 'r') {
      if (!expect_keyword(r, "ecipient", kExpectedAdd) || !read_action(r, rule, ACTION_ADD_RECIPIENT)) return 0;
      r.has_add_recipient = true;
      return 1;
    }
    if (letter != 'h') return fail(r, kExpectedAdd);
    if (!expect_keyword(r, "eader", kExpectedAdd)) return 0;
    if (!read_action(r, rule, ACTION_ADD_HEADER)) return 0;
    r.has_add_header = true;
    return 1;
  }
  case 'H':
  case 'h':
    if (!expect_keyword(r, "alt", "Parsing error - expected Halt\n")) return 0;
    rule.halt = 1;
    return 1;
  case 'M':
  case 'm':
    // Before Maildir an "M" started no action: anything else that starts
    // with one still fails as it always has.
    if (!expect_keyword(r, "aildir", kNoAction)) return 0;
    return read_action(r, rule, ACTION_MAILDIR) && read_with_clause(r, *rule.actions.tail);
  case 'P':
  case 'p':
    if (!expect_keyword(r, "ipe", "Parsing error - expected Pipe\n")) return 0;
    return read_action(r, rule, ACTION_PIPE) && read_with_clause(r, *rule.actions.tail);
  case 'S':
  case 's':
    if (!expect_keyword(r, "tore in", "Parsing error - expected Store In\n")) return 0;
    return read_action(r, rule, ACTION_STORE_IN) && read_with_clause(r, *rule.actions.tail);
  default:
    return fail(r, kNoAction);
  }
}

// The rest of a rule after its "{": the condition, then actions up to ";".
int parse_rule(Reader &r, Rule &rule) noexcept {
  rule.condition = parse_condition(r);
  if (!rule.condition) return 0;
  int ch = skip_blanks(r);
  for (;;) {
    if (!parse_action(r, rule, ch)) return 0;
    ch = skip_blanks(r);
    if (ch == ';') return 1;
    if (ch != ',') return fail(r, kExpectedComma);
    ch = skip_blanks(r);
  }
}

// The top level: blanks, comments and rules up to end of file or a NUL.
int parse_rules(Reader &r, RuleList &rules) noexcept {
  bool in_comment = false;
  for (;;) {
    const int ch = r.get();
    if (ch == EOF || ch == '\0') return 1;
    if (ch == '\t' || ch == '\v' || ch == '\r' || ch == ' ') continue;
    if (ch == '\n') {
      in_comment = false;
    } else if (ch == '#') {
      in_comment = true;
    } else if (in_comment) {
      continue;
    } else if (ch == '{') {
      std::unique_ptr<Rule> fresh = new_rule();
      if (!fresh) return fail(r, kNoMemory);
      Rule *rule = append_rule(rules, std::move(fresh));
      rule->line = r.line;
      if (!parse_rule(r, *rule)) return 0;
      in_comment = false;
    } else {
      char message[64];
      std::snprintf(message, sizeof message, "Parsing error - unexpected character: '%c'\n", ch);
      return fail(r, message);
    }
  }
}

}  // namespace

bool parse_rule_file(std::FILE *in, RuleSet &set, std::FILE *diagnostics, std::string &error) noexcept {
  error.clear();
  Reader r{in, diagnostics};
  const bool ok = parse_rules(r, set.rules) != 0;
  set.has_add_header = set.has_add_header || r.has_add_header;
  set.has_add_recipient = set.has_add_recipient || r.has_add_recipient;
  if (!ok) error.assign(r.message);
  return ok;
}

bool parse_rule_text(const char *bytes, std::size_t length, RuleSet &set, std::FILE *diagnostics,
                     std::string &error) noexcept {
  error.clear();
  if (length == 0) return true;  // fmemopen refuses an empty buffer
  std::FILE *in = fmemopen(const_cast<char *>(bytes), length, "r");
  if (in == nullptr) {
    error.assign(kNoMemory);
    return false;
  }
  const bool ok = parse_rule_file(in, set, diagnostics, error);
  std::fclose(in);
  return ok;
}

bool load_rule_file(const char *path, RuleSet &set, std::FILE *diagnostics, std::string &error) noexcept {
  // Close-on-exec: a reload runs beside connection threads that start Pipe commands.
  std::FILE *in = std::fopen(path, "re");
  if (in == nullptr) {
    const int saved = errno;
    char message[128];
    std::snprintf(message, sizeof message, "\" (errno: %d:%s). Aborting.\n", saved, std::strerror(saved));
    error.assign("Unable to open config file at \"").append(path).append(message);
    return false;
  }
  const bool ok = parse_rule_file(in, set, diagnostics, error);
  std::fclose(in);
  return ok;
}

// Condition evaluation: results, recipient selection and the verbose trace.
#include "rules/evaluate.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

#include "base/trace.h"
#include "rules/parser.h"
#include "support/alloc_failure.h"

namespace {

const Trace kNoTrace;

void add_recipients(MessageContext &msg, std::initializer_list<const char *> addresses) {
  for (const char *address : addresses) {
    auto recipient = std::make_unique<Recipient>();
    recipient->address = copy_text(address);
    msg.recipients.append(std::move(recipient));
  }
}

// A match prepared for the recipients of `msg`; `earlier`: some earlier rule
// of the walk matched.
RuleMatch match_for(const MessageContext &msg, bool earlier = false) {
  std::size_t count = 0;
  for (const Recipient *r = msg.recipients.head.get(); r; r = r->next.get()) ++count;
  RuleMatch match;
  EXPECT_TRUE(match.prepare(count));
  match.earlier_rule_matched = earlier;
  return match;
}

// "1" for each selected recipient, "0" for the others.
std::string selection(const MessageContext &msg, const RuleMatch &match) {
  std::string flags;
  std::size_t i = 0;
  for (const Recipient *r = msg.recipients.head.get(); r; r = r->next.get()) flags += match.selected(i++) ? '1' : '0';
  return flags;
}

struct Evaluated {
  int result;
  std::string trace;
};

Evaluated evaluate(const Rule &rule, const MessageContext &msg, RuleMatch &match) {
  const Trace trace{stdout, 1};
  ::testing::internal::CaptureStdout();
  const int result = evaluate_rule(rule, msg, match, trace);
  std::fflush(stdout);
  return {result, ::testing::internal::GetCapturedStdout()};
}

RuleList parse(std::string_view text) {
  RuleSet set;
  std::string error;
  EXPECT_TRUE(parse_rule_text(text.data(), text.size(), set, nullptr, error)) << text << error;
  return std::move(set.rules);
}

TEST(Evaluate, TraceOfANegatedRecipientTest) {
  RuleList rules = parse("{ From contains an and ! To is cy } Halt;");
  ASSERT_EQ(rules.head->template_uses, 0u);
  MessageContext msg;
  msg.from = copy_text("ann");
  add_recipients(msg, {"bob", "cy"});
  RuleMatch match = match_for(msg);
  const Evaluated e = evaluate(*rules.head, msg, match);
  EXPECT_EQ(e.result, 0);
  EXPECT_EQ(e.trace, "(\"ann\" contains \"an\" [true](!(\"bob\" is \"cy\" [false], \"cy\" is \"cy\" [true]) [false] ))");
  EXPECT_EQ(selection(msg, match), "10");
  EXPECT_EQ(match.first_to, nullptr);
}

// Per-recipient and first-recipient templates that make a rule select.
constexpr const char kEach[] = " Store In /m/%ALLTO%;";
constexpr const char kFirstAndEach[] = " Store In /m/%TO%/%ALLTO%;";

TEST(Evaluate, ResultsSelectionsAndTraces) {
  struct Case {
    std::string rule;
    const char *from;
    const char *sender;  // null: the client did not authenticate
    std::initializer_list<const char *> to;
    std::uint32_t any_rule_matched;
    int want;
    const char *want_trace;
    const char *want_selection;
    const char *want_first_to;
  } cases[] = {
      // A value shorter than the pattern fails before the term's "!".
      {"{ To !contains abcdefgh } Halt;", "x", nullptr, {"a@b"}, 0, 1, "(\"a@b\" \"abcdefgh\" [true])", "1", nullptr},
      {"{ From is abc } Halt;", "ab", nullptr, {}, 0, 0, "(\"ab\" \"abc\" [false])", "", nullptr},
      // Empty patterns.
      {"{ From starts \"\" } Halt;", "x", nullptr, {}, 0, 0, "(\"x\" starts \"\" [false])", "", nullptr},
      {"{ From ends \"\" } Halt;", "x", nullptr, {}, 0, 0, "(\"x\" ends \"\" [false])", "", nullptr},
      {"{ From contains \"\" } Halt;", "x", nullptr, {}, 0, 1, "(\"x\" contains \"\" [true])", "", nullptr},
      {"{ From is \"\" } Halt;", "", nullptr, {}, 0, 1, "(\"\" is \"\" [true])", "", nullptr},
      {"{ From is \"\" } Halt;", "x", nullptr, {}, 0, 0, "(\"x\" is \"\" [false])", "", nullptr},
      // The operators on values at least as long as the pattern.
      {"{ From starts a@ } Halt;", "a@b", nullptr, {}, 0, 1, "(\"a@b\" starts \"a@\" [true])", "", nullptr},
      {"{ From starts a@b } Halt;", "a@c", nullptr, {}, 0, 0, "(\"a@c\" starts \"a@b\" [false])", "", nullptr},
      {"{ From ends .ORG } Halt;", "a@b.org", nullptr, {}, 0, 1, "(\"a@b.org\" ends \".org\" [true])", "", nullptr},
      {"{ From ends b.org } Halt;", "b.orgx", nullptr, {}, 0, 0, "(\"b.orgx\" ends \"b.org\" [false])", "", nullptr},
      {"{ From contains @b } Halt;", "a@b.c", nullptr, {}, 0, 1, "(\"a@b.c\" contains \"@b\" [true])", "", nullptr},
      {"{ From !is x@y } Halt;", "x@y", nullptr, {}, 0, 0, "(\"x@y\" !is \"x@y\" [false])", "", nullptr},
      // No SMTP authentication.
      {"{ Sender is bob } Halt;", "x", nullptr, {}, 0, 0, "([no data] is \"bob\" [false])", "", nullptr},
      {"{ Sender !is bob } Halt;", "x", nullptr, {}, 0, 1, "([no data] is \"bob\" [true])", "", nullptr},
      {"{ Sender starts \"\" } Halt;", "x", nullptr, {}, 0, 1, "([no data] starts \"\" [true])", "", nullptr},
      // Sender is case-sensitive; From and To patterns are stored lower-cased.
      {"{ Sender is bob } Halt;", "x", "Bob", {}, 0, 0, "(\"Bob\" is \"bob\" [false])", "", nullptr},
      {"{ Sender is Bob } Halt;", "x", "Bob", {}, 0, 1, "(\"Bob\" is \"Bob\" [true])", "", nullptr},
      {"{ From is X@Y } Halt;", "x@y", nullptr, {}, 0, 1, "(\"x@y\" is \"x@y\" [true])", "", nullptr},
      // The To test stops at the first satisfying recipient...
      {"{ To is p2 } Halt;", "x", nullptr, {"p1", "p2", "p3"}, 0, 1,
       "(\"p1\" is \"p2\" [false], \"p2\" is \"p2\" [true])", "010", nullptr},
      // ...unless the rule's templates need every selected recipient.
      {"{ To is p2 }" + std::string(kEach), "x", nullptr, {"p1", "p2", "p3"}, 0, 1,
       "(\"p1\" is \"p2\" [false], \"p2\" is \"p2\" [true], \"p3\" is \"p2\" [false], )", "010", nullptr},
      {"{ To is p2 }" + std::string(kFirstAndEach), "x", nullptr, {"p1", "p2", "p3"}, 0, 1,
       "(\"p1\" is \"p2\" [false], \"p2\" is \"p2\" [true], \"p3\" is \"p2\" [false], )", "010", "p2"},
      // Node-level "!": no recipient satisfies the term; selects those that do not.
      {"{ ! To is p2 }" + std::string(kEach), "x", nullptr, {"p1", "p2", "p3"}, 0, 0,
       "(!(\"p1\" is \"p2\" [false], \"p2\" is \"p2\" [true], \"p3\" is \"p2\" [false], ) [false] )", "101", nullptr},
      {"{ ! To is p2 }" + std::string(kFirstAndEach), "x", nullptr, {"p1", "p3"}, 0, 1,
       "(!(\"p1\" is \"p2\" [false], \"p3\" is \"p2\" [false], ) [true] )", "11", "p1"},
      // Term-level "!": some recipient does not satisfy the operator; selects those.
      {"{ To !is p2 }" + std::string(kEach), "x", nullptr, {"p1", "p2"}, 0, 1,
       "(\"p1\" !is \"p2\" [true], \"p2\" !is \"p2\" [false], )", "10", nullptr},
      {"{ To !is p2 } Halt;", "x", nullptr, {"p2", "p1"}, 0, 1, "(\"p2\" !is \"p2\" [false], \"p1\" !is \"p2\" [true])",
       "01", nullptr},
      // A "!" before a group does not reach the terms inside it.
      {"{ !(To is b) }" + std::string(kEach), "x", nullptr, {"b", "c"}, 0, 0,
       "(!((\"b\" is \"b\" [true], \"c\" is \"b\" [false], )) [false] )", "10", nullptr},
      {"{ ! To is b }" + std::string(kEach), "x", nullptr, {"b", "c"}, 0, 0,
       "(!(\"b\" is \"b\" [true], \"c\" is \"b\" [false], ) [false] )", "01", nullptr},
      // OR stops at a true left side; AND at a false one, keeping its selection.
      {"{ To is p1 or To is p2 }" + std::string(kEach), "x", nullptr, {"p1", "p2"}, 0, 1,
       "(\"p1\" is \"p1\" [true], \"p2\" is \"p1\" [false], )", "10", nullptr},
      {"{ To is b and From is z }" + std::string(kEach), "a", nullptr, {"b"}, 0, 0,
       "(\"b\" is \"b\" [true], (\"a\" is \"z\" [false]))", "1", nullptr},
      {"{ From is z and To is b } Halt;", "a", nullptr, {"b"}, 0, 0, "(\"a\" is \"z\" [false])", "0", nullptr},
      // Chains group to the right: a or (b and c).
      {"{ From is a or From is b and From is c } Halt;", "a", nullptr, {}, 0, 1, "(\"a\" is \"a\" [true])", "",
       nullptr},
      {"{ From is b and From is c or From is b } Halt;", "b", nullptr, {}, 0, 1,
       "(\"b\" is \"b\" [true](\"b\" is \"c\" [false](\"b\" is \"b\" [true])))", "", nullptr},
      // No recipients: every To test is false and silent.
      {"{ To is x } Halt;", "x", nullptr, {}, 0, 0, "()", "", nullptr},
      {"{ ! To is x } Halt;", "x", nullptr, {}, 0, 1, "(!() [true] )", "", nullptr},
      // Not matched and Match all.
      {"{ Not matched } Halt;", "x", nullptr, {}, 0, 1, "(not matched by a previous rule [true])", "", nullptr},
      {"{ Not matched } Halt;", "x", nullptr, {}, 1, 0, "(not matched by a previous rule [false])", "", nullptr},
      {"{ ! Not matched } Halt;", "x", nullptr, {}, 1, 1, "(!(not matched by a previous rule [false]) [true] )", "",
       nullptr},
      {"{ Match all } Halt;", "x", nullptr, {}, 1, 1, "(match all [true])", "", nullptr},
      {"{ ! Match all } Halt;", "x", nullptr, {}, 0, 0, "(!(match all [true]) [false] )", "", nullptr},
  };
  for (const Case &c : cases) {
    RuleList rules = parse(c.rule);
    MessageContext msg;
    msg.from = copy_text(c.from);
    if (c.sender) msg.smtp_sender = copy_text(c.sender);
    add_recipients(msg, c.to);
    RuleMatch match = match_for(msg, c.any_rule_matched != 0);
    const Evaluated e = evaluate(*rules.head, msg, match);
    EXPECT_EQ(e.result, c.want) << c.rule;
    EXPECT_EQ(e.trace, c.want_trace) << c.rule;
    EXPECT_EQ(selection(msg, match), c.want_selection) << c.rule;
    EXPECT_STREQ(match.first_to, c.want_first_to) << c.rule;

    // Without -v the same result and nothing printed.
    MessageContext quiet;
    quiet.from = copy_text(c.from);
    if (c.sender) quiet.smtp_sender = copy_text(c.sender);
    add_recipients(quiet, c.to);
    RuleMatch quiet_match = match_for(quiet, c.any_rule_matched != 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(evaluate_rule(*rules.head, quiet, quiet_match, kNoTrace), c.want) << c.rule;
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << c.rule;
  }
}

// A message built as the capture callbacks build it, with two Received
// fields and a List-Id; 115 bytes as Size counts them.
std::unique_ptr<MessageContext> message_with_headers() {
  auto msg = std::make_unique<MessageContext>();
  EXPECT_EQ(set_smtp_sender(*msg, "Ann"), nullptr);
  EXPECT_EQ(set_sender(*msg, "<Ann@Example.org>"), nullptr);
  for (const char *to : {"<Bob@x.test>", "<cy@y.test>"}) EXPECT_EQ(add_recipient(*msg, to), nullptr);
  EXPECT_EQ(add_header(*msg, "Subject", "Re: [dev] Plan"), nullptr);
  EXPECT_EQ(add_header(*msg, "Received", "from a\r\n\tby mx1"), nullptr);
  EXPECT_EQ(add_header(*msg, "Received", "from b\r\n\tby mx2"), nullptr);
  EXPECT_EQ(add_header(*msg, "List-Id", "Dev <DEV.example.org>"), nullptr);
  EXPECT_EQ(add_body_chunk(*msg, "hello\r\n", 7), nullptr);
  end_message(*msg, 1700000000);
  return msg;
}

TEST(Evaluate, HeaderSizeWildcardAndExpressionTests) {
  struct Case {
    const char *rule;
    int want;
    const char *want_trace;
    const char *want_selection;
  } cases[] = {
      // Header: any case in the name, the value lower-cased and unfolded; the
      // first field of the name that satisfies the term ends the test.
      {"{ Header subject contains \"[DEV]\" } Halt;", 1, "(subject: \"re: [dev] plan\" contains \"[dev]\" [true])",
       "00"},
      {"{ Header Received ends mx2 } Halt;", 1,
       "(Received: \"from a\tby mx1\" ends \"mx2\" [false], \"from b\tby mx2\" ends \"mx2\" [true])", "00"},
      {"{ Header Received !contains mx1 } Halt;", 1,
       "(Received: \"from a\tby mx1\" !contains \"mx1\" [false], \"from b\tby mx2\" !contains \"mx1\" [true])", "00"},
      {"{ ! Header received contains mx } Halt;", 0,
       "(!(received: \"from a\tby mx1\" contains \"mx\" [true]) [false] )", "00"},
      {"{ Header Subject is \"re: [dev] plan, again\" } Halt;", 0,
       "(Subject: \"re: [dev] plan\" \"re: [dev] plan, again\" [false])", "00"},
      // No such field: no value, as Sender without authentication.
      {"{ Header X-None is \"\" } Halt;", 1, "(X-None: [no data] is \"\" [true])", "00"},
      {"{ Header X-None is x } Halt;", 0, "(X-None: [no data] is \"x\" [false])", "00"},
      {"{ Header X-None !is x } Halt;", 1, "(X-None: [no data] is \"x\" [true])", "00"},
      {"{ Header X-None regex \"\" } Halt;", 1, "(X-None: [no data] regex \"\" [true])", "00"},
      {"{ Header X-None matches \"*\" } Halt;", 0, "(X-None: [no data] matches \"*\" [false])", "00"},
      // Matches: the whole value; patterns lower-cased but for Sender; a
      // value shorter than the pattern is compared all the same.
      {"{ From matches \"*@EXAMPLE.ORG\" } Halt;", 1, "(\"ann@example.org\" matches \"*@example.org\" [true])", "00"},
      {"{ From matches \"*@example\" } Halt;", 0, "(\"ann@example.org\" matches \"*@example\" [false])", "00"},
      {"{ From !matches \"ann@example.org.*\" } Halt;", 1,
       "(\"ann@example.org\" !matches \"ann@example.org.*\" [true])", "00"},
      {"{ Sender matches \"a*\" } Halt;", 0, "(\"Ann\" matches \"a*\" [false])", "00"},
      {"{ Header List-Id matches \"* <*.[a-z]rg>\" } Halt;", 1,
       "(List-Id: \"dev <dev.example.org>\" matches \"* <*.[a-z]rg>\" [true])", "00"},
      // Regex: anywhere in the value; as written, and without regard to case
      // but for Sender.
      {"{ Sender regex \"^A\" and Sender !regex \"^a\" } Halt;", 1,
       "(\"Ann\" regex \"^A\" [true](\"Ann\" !regex \"^a\" [true]))", "00"},
      {"{ From regex \"^ANN@\" } Halt;", 1, "(\"ann@example.org\" regex \"^ANN@\" [true])", "00"},
      {"{ Header List-Id regex \"<\\\\S+\\\\.ORG>$\" } Halt;", 1,
       "(List-Id: \"dev <dev.example.org>\" regex \"<\\S+\\.ORG>$\" [true])", "00"},
      {"{ To regex \"^CY@\" } Halt;", 1,
       "(\"bob@x.test\" regex \"^CY@\" [false], \"cy@y.test\" regex \"^CY@\" [true])", "01"},
      {"{ From regex \"^ann@example.org.+\" } Halt;", 0, "(\"ann@example.org\" regex \"^ann@example.org.+\" [false])",
       "00"},
      // Size: greater for Over, smaller for Under.
      {"{ Size over 114 and Size under 116 } Halt;", 1, "(size 115 over 114 [true](size 115 under 116 [true]))", "00"},
      {"{ Size over 115 or Size under 115 } Halt;", 0, "(size 115 over 115 [false](size 115 under 115 [false]))", "00"},
      {"{ Size !over 100 } Halt;", 0, "(size 115 !over 100 [false])", "00"},
      {"{ ! Size under 1K } Halt;", 0, "(!(size 115 under 1024 [true]) [false] )", "00"},
  };
  for (const Case &c : cases) {
    RuleList rules = parse(c.rule);
    ASSERT_NE(rules.head, nullptr) << c.rule;
    auto msg = message_with_headers();
    RuleMatch match = match_for(*msg);
    const Evaluated e = evaluate(*rules.head, *msg, match);
    EXPECT_EQ(e.result, c.want) << c.rule;
    EXPECT_EQ(e.trace, c.want_trace) << c.rule;
    EXPECT_EQ(selection(*msg, match), c.want_selection) << c.rule;
  }
}

// Address: every address of every field of the name, lower-cased, display
// names, comments and groups left out; a field without one is no value.
TEST(Evaluate, AddressTestsReadTheAddressLists) {
  auto msg = std::make_unique<MessageContext>();
  EXPECT_EQ(set_sender(*msg, "<a@b>"), nullptr);
  EXPECT_EQ(add_header(*msg, "From", "\"Example, Ann\" <Ann@Example.ORG>"), nullptr);
  EXPECT_EQ(add_header(*msg, "To", "Bob <bob@x.test>,\r\n\tcy@y.test (Cy)"), nullptr);
  EXPECT_EQ(add_header(*msg, "Cc", "friends: d@z.test;"), nullptr);
  EXPECT_EQ(add_header(*msg, "cc", "undisclosed-recipients:;"), nullptr);
  EXPECT_EQ(add_header(*msg, "Reply-To", "(nobody) ,,;"), nullptr);
  end_message(*msg, 1700000000);
  struct Case {
    const char *rule;
    int want;
    const char *want_trace;
  } cases[] = {
      {"{ Address From is ann@example.org } Halt;", 1, "(From: \"ann@example.org\" is \"ann@example.org\" [true])"},
      {"{ Address to is cy@y.test } Halt;", 1,
       "(to: \"bob@x.test\" is \"cy@y.test\" [false], \"cy@y.test\" is \"cy@y.test\" [true])"},
      {"{ Address CC ends @Z.TEST } Halt;", 1, "(CC: \"d@z.test\" ends \"@z.test\" [true])"},
      {"{ Address From regex \"^ann@example\\.org$\" } Halt;", 1,
       "(From: \"ann@example.org\" regex \"^ann@example.org$\" [true])"},
      {"{ Address From matches \"*@example.*\" } Halt;", 1,
       "(From: \"ann@example.org\" matches \"*@example.*\" [true])"},
      {"{ Address From !contains example } Halt;", 0, "(From: \"ann@example.org\" !contains \"example\" [false])"},
      // No address in the fields of the name, or no such field: no value.
      {"{ Address Reply-To is \"\" } Halt;", 1, "(Reply-To: [no data] is \"\" [true])"},
      {"{ Address X-None is x } Halt;", 0, "(X-None: [no data] is \"x\" [false])"},
  };
  for (const Case &c : cases) {
    RuleList rules = parse(c.rule);
    ASSERT_NE(rules.head, nullptr) << c.rule;
    RuleMatch match = match_for(*msg);
    const Evaluated e = evaluate(*rules.head, *msg, match);
    EXPECT_EQ(e.result, c.want) << c.rule;
    EXPECT_EQ(e.trace, c.want_trace) << c.rule;
  }
}

// What the daemon evaluates for every message makes no allocation of its
// own, traced or not: the fixed-text operators on every field, the header
// and size tests and the wildcards.
TEST(Evaluate, TestsOtherThanRegexAllocateNothing) {
  RuleList rules = parse(
      "{ From is x or To starts x or Sender ends x or Header Received contains x or Header X-None is x } Halt;\n"
      "{ ! Not matched and Match all or Size over 1 and Header received matches \"*b?mx[0-9]\" } Halt;\n"
      "{ To !matches \"*@*\" or Sender matches A* and Header Subject !is \"\" } Store In /m/%ALLTO%;\n");
  auto msg = message_with_headers();
  RuleMatch match = match_for(*msg);
  char *buffer = nullptr;
  std::size_t length = 0;
  std::FILE *out = open_memstream(&buffer, &length);
  std::fputs("warm the stream up", out);  // its first write allocates its buffer
  const Trace traced{out, 1};
  for (const Trace *trace : {&kNoTrace, &traced}) {
    fail_nothrow_allocation(0);
    for (const Rule *rule = rules.head.get(); rule; rule = rule->next.get()) evaluate_rule(*rule, *msg, match, *trace);
    EXPECT_FALSE(allocation_failure_fired());
    disarm_allocation_failure();
  }
  std::fclose(out);
  std::free(buffer);
}

TEST(Evaluate, SelectionIsClearedOnlyForRulesThatUseRecipients) {
  RuleList rules = parse("{ To is b } Halt;\n{ To is c }" + std::string(kFirstAndEach));
  const Rule &plain = *rules.head;
  const Rule &selecting = *plain.next;
  MessageContext msg;
  add_recipients(msg, {"a", "b", "c"});
  RuleMatch match = match_for(msg);
  match.select(0);
  match.first_to = msg.recipients.head->address.get();

  ::testing::internal::CaptureStdout();
  EXPECT_EQ(evaluate_rule(plain, msg, match, kNoTrace), 1);
  EXPECT_EQ(selection(msg, match), "110");  // adds to what an earlier rule selected
  EXPECT_STREQ(match.first_to, "a");

  EXPECT_EQ(evaluate_rule(selecting, msg, match, kNoTrace), 1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(selection(msg, match), "001");
  EXPECT_STREQ(match.first_to, "c");
}

std::unique_ptr<MatchTerm> term(std::uint32_t field, std::uint32_t op, const char *pattern, std::uint32_t negated = 0) {
  auto t = std::make_unique<MatchTerm>();
  t->field = static_cast<TestField>(field);  // the tests reach values outside the language too
  t->op = static_cast<MatchOp>(op);
  if (pattern) t->pattern = copy_text(pattern);
  t->negated = negated;
  return t;
}

TEST(Evaluate, TreesOutsideTheLanguage) {
  MessageContext msg;
  msg.from = copy_text("x");
  Rule rule;
  struct Case {
    std::function<void(ConditionNode &)> build;
    int want;
    const char *want_trace;
  } cases[] = {
      // COND_NONE never evaluates its right side.
      {[](ConditionNode &n) {
         n.left_term = term(FIELD_FROM, OP_IS, "z");
         n.right_term = term(FIELD_MATCH_ALL, OP_NONE, nullptr);
       },
       0, "(\"x\" is \"z\" [false])"},
      // Any other connector value acts as OR.
      {[](ConditionNode &n) {
         n.op = 9;
         n.left_term = term(FIELD_FROM, OP_IS, "z");
         n.right_term = term(FIELD_MATCH_ALL, OP_NONE, nullptr);
       },
       1, "(\"x\" is \"z\" [false]match all [true])"},
      // A side with neither subtree nor term holds, silently.
      {[](ConditionNode &) {}, 1, "()"},
      {[](ConditionNode &n) { n.op = COND_AND; }, 1, "()"},
      // Undefined fields never hold; unknown operators are "confused".
      {[](ConditionNode &n) { n.left_term = term(FIELD_UNDEFINED, OP_IS, "x"); }, 0, "()"},
      {[](ConditionNode &n) { n.left_term = term(42, OP_IS, "x"); }, 0, "()"},
      {[](ConditionNode &n) { n.left_term = term(FIELD_FROM, OP_NONE, "x", 1); }, 1, "(\"x\" !confused \"x\" [true])"},
      {[](ConditionNode &n) { n.left_term = term(FIELD_SMTP_SENDER, 77, ""); }, 1, "([no data] confused \"\" [true])"},
      // The term's own "!" plays no part for Match all.
      {[](ConditionNode &n) { n.left_term = term(FIELD_MATCH_ALL, OP_NONE, nullptr, 1); }, 1, "(match all [true])"},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    rule.condition = std::make_unique<ConditionNode>();
    cases[i].build(*rule.condition);
    RuleMatch match = match_for(msg);
    const Evaluated e = evaluate(rule, msg, match);
    EXPECT_EQ(e.result, cases[i].want) << "case " << i;
    EXPECT_EQ(e.trace, cases[i].want_trace) << "case " << i;
  }
}

// A long chain is followed in a loop: it evaluates on a thread with a small
// stack, as milter connection threads may have.
TEST(Evaluate, LongChainsNeedNoStack) {
  std::string text = "{ ";
  for (int i = 0; i < 9999; ++i) text += "From is z or ";
  text += "! To is nobody } Halt;";
  RuleList rules = parse(text);
  ASSERT_NE(rules.head, nullptr);
  struct Job {
    const Rule *rule;
    int result = -1;
  } job{rules.head.get()};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void *arg) -> void * {
                  Job *j = static_cast<Job *>(arg);
                  MessageContext msg;
                  msg.from = copy_text("a");
                  add_recipients(msg, {"b"});
                  RuleMatch match = match_for(msg);
                  j->result = evaluate_rule(*j->rule, msg, match, kNoTrace);
                  return nullptr;
                },
                &job),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(job.result, 1);
}

}  // namespace

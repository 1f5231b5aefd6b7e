// Rule listing: the exact bytes printed for parsed rule files and for
// hand-built trees with values the parser never produces.
#include "rules/listing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rules/parser.h"

namespace {

template <class Print> std::string capture(Print print) {
  char *buffer = nullptr;
  std::size_t length = 0;
  std::FILE *out = open_memstream(&buffer, &length);
  print(out);
  std::fclose(out);
  std::string text(buffer, length);
  std::free(buffer);
  return text;
}

std::string list(std::string_view rule_file) {
  RuleSet set;
  std::string error;
  EXPECT_TRUE(parse_rule_text(rule_file.data(), rule_file.size(), set, nullptr, error)) << rule_file << error;
  return capture([&](std::FILE *out) { print_rules(out, set.rules); });
}

TEST(Listing, ParsedRules) {
  struct Case {
    const char *rule_file;
    const char *want;
  } cases[] = {
      {"", ""},
      {"{ Sender is Bob and ! To ends x } Halt;", "(SMTP Sender is \"Bob\" and (!To Address ends with \"x\"))"},
      {"{ To !contains X } Halt;", "(To Address !contains \"x\")"},
      {"{ ! To !starts X } Halt;", "(!To Address !starts with \"x\")"},
      {"{ Not matched } Halt;", "(No Rule has been matched yet )"},
      {"{ Match all } Halt;", "([Always True] )"},
      {"{ ! Not matched } Halt;", "(!No Rule has been matched yet )"},
      {"{ From is UPPER or Sender is UPPER } Halt;", "(From Address is \"upper\" or (SMTP Sender is \"UPPER\"))"},
      {"{ From is a and From is b or From is c } Halt;",
       "(From Address is \"a\" and (From Address is \"b\" or (From Address is \"c\")))"},
      {"{ (From is a or From is b) and From is c } Halt;",
       "((From Address is \"a\" or (From Address is \"b\")) and (From Address is \"c\"))"},
      {"{ !(From is a and To is b) or Match all } Halt;",
       "(!(From Address is \"a\" and (To Address is \"b\")) or ([Always True] ))"},
      {"{ ((Not matched)) } Halt;", "(((No Rule has been matched yet )))"},
      {"{ From is \"a \\\"quoted\\\" (x)\" } Halt;", "(From Address is \"a \"quoted\" (x)\")"},
      {"{ Match all } Store In /x;\n{ Not matched } Halt;\n{ To is \"\" } Halt;",
       "([Always True] )(No Rule has been matched yet )(To Address is \"\")"},
      // A header test names its field as written; a size test gives bytes.
      {"{ Header List-ID !contains \"<Dev.Example.ORG>\" } Halt;",
       "(Header \"List-ID\" !contains \"<dev.example.org>\")"},
      {"{ Size over 20M and ! Size !under 1 } Halt;",
       "(Message Size is over 20971520 bytes and (!Message Size !is under 1 bytes))"},
      {"{ From matches \"*@X.ORG\" or Sender Matches \"A*\" } Halt;",
       "(From Address matches wildcard \"*@x.org\" or (SMTP Sender matches wildcard \"A*\"))"},
      {"{ Header Subject regex \"^\\\\[Dev\\\\]\" } Halt;", "(Header \"Subject\" matches regex \"^\\[Dev\\]\")"},
  };
  for (const Case &c : cases) EXPECT_EQ(list(c.rule_file), c.want) << c.rule_file;
}

std::unique_ptr<MatchTerm> term(std::uint32_t field, std::uint32_t op, const char *pattern, std::uint32_t negated = 0) {
  auto t = std::make_unique<MatchTerm>();
  t->field = static_cast<TestField>(field);  // the tests reach values outside the language too
  t->op = static_cast<MatchOp>(op);
  if (pattern) t->pattern = copy_text(pattern);
  t->negated = negated;
  return t;
}

TEST(Listing, ValuesOutsideTheLanguage) {
  struct Case {
    std::uint32_t field, op;
    const char *pattern;
    std::uint32_t negated;
    const char *want;
  } cases[] = {
      {FIELD_UNDEFINED, OP_IS, "p", 0, "[Undefined Field] is \"p\""},
      {FIELD_FROM, OP_NONE, "p", 1, "From Address !is operated on in some way by \"p\""},
      {FIELD_TO, 9, "p", 0, "To Address \"p\""},
      {17, OP_STARTS, "p", 0, "starts with \"p\""},
      {FIELD_MATCH_ALL, OP_IS, "p", 1, "[Always True] "},
      {FIELD_HEADER, OP_IS, "p", 0, "Header \"\" is \"p\""},  // no name
      {FIELD_SIZE, OP_IS, nullptr, 1, "Message Size !is 0 bytes"},
  };
  for (const Case &c : cases) {
    auto t = term(c.field, c.op, c.pattern, c.negated);
    EXPECT_EQ(capture([&](std::FILE *out) { print_term(out, *t); }), c.want);
  }

  // A right-hand term, an unknown connector and an empty node.
  ConditionNode node;
  node.op = 7;
  node.left_term = term(FIELD_MATCH_ALL, OP_NONE, nullptr);
  node.right_term = term(FIELD_SMTP_SENDER, OP_ENDS, "Z");
  EXPECT_EQ(capture([&](std::FILE *out) { print_condition(out, node); }), "([Always True] SMTP Sender ends with \"Z\")");
  node.op = COND_OR;
  EXPECT_EQ(capture([&](std::FILE *out) { print_condition(out, node); }),
            "([Always True]  or SMTP Sender ends with \"Z\")");
  ConditionNode empty;
  empty.negated = 1;
  EXPECT_EQ(capture([&](std::FILE *out) { print_condition(out, empty); }), "(!)");
}

}  // namespace

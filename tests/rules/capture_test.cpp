// Matched text in templates: what Regex and Matches tests capture for %1% to
// %9%, and the wildcard groups behind Matches.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/trace.h"
#include "rules/evaluate.h"
#include "rules/parser.h"
#include "rules/template.h"
#include "rules/wildcard.h"

namespace {

// Each "*" as few bytes as it can, from the left; "?" and sets one each.
TEST(WildcardGroups, EachStarTakesAsLittleAsItCan) {
  struct Case {
    const char *pattern;
    const char *value;
    bool want_match;
    std::vector<std::string> want;
  } cases[] = {
      {"\\[*\\] *", "[dev] [fwd] news", true, {"dev", "[fwd] news"}},
      {"*.*", "a.b.c", true, {"a", "b.c"}},
      {"?*[0-9]x*", "ab1x2x", true, {"a", "b", "1", "2x"}},
      {"a**b", "ab", true, {"", ""}},
      {"*", "", true, {""}},
      {"x*", "ya", false, {}},
  };
  for (const Case &c : cases) {
    const std::string_view pattern(c.pattern), value(c.value);
    WildcardSpan spans[9];
    const bool matched = wildcard_match_groups(pattern.data(), pattern.size(), value.data(), value.size(), spans, 9);
    EXPECT_EQ(matched, c.want_match) << c.pattern;
    EXPECT_EQ(matched, wildcard_match(pattern.data(), pattern.size(), value.data(), value.size())) << c.pattern;
    if (!matched) continue;
    ASSERT_EQ(wildcard_groups(pattern.data(), pattern.size()), c.want.size()) << c.pattern;
    for (std::size_t i = 0; i < c.want.size(); ++i)
      EXPECT_EQ(value.substr(spans[i].start, spans[i].length), c.want[i]) << c.pattern << " group " << i + 1;
  }
}

// The first action's template of the first rule of `rules`, expanded after
// its condition was evaluated for a message from `from` to `to`, with
// `headers`; once per selected recipient for %ALLTO%, joined by " ".
std::string expanded(std::string_view rules, const char *from, std::vector<const char *> to,
                     std::vector<std::pair<const char *, const char *>> headers, InsertMode mode = INSERT_AS_IS) {
  RuleSet set;
  std::string error;
  EXPECT_TRUE(parse_rule_text(rules.data(), rules.size(), set, nullptr, error)) << rules << error;
  if (!set.rules.head) return "<no rule>";
  MessageContext msg;
  EXPECT_EQ(set_sender(msg, from), nullptr);
  for (const char *address : to) EXPECT_EQ(add_recipient(msg, address), nullptr);
  for (const auto &[name, value] : headers) EXPECT_EQ(add_header(msg, name, value), nullptr);
  end_message(msg, 1700000000);
  RuleMatch match;
  EXPECT_TRUE(match.prepare(to.size()));
  const Rule &rule = *set.rules.head;
  if (!evaluate_rule(rule, msg, match, Trace{})) return "<not matched>";
  const Action &action = *rule.actions.head;
  std::string text;
  std::size_t index = 0;
  for (const Recipient *r = msg.recipients.head.get(); r != nullptr; r = r->next.get(), ++index) {
    if (action.each_recipient == 0 || !match.selected(index)) continue;
    text += (text.empty() ? "" : " ") + std::string(expand_template(action, msg, match, r->address.get(), mode).get());
  }
  if (action.each_recipient == 0) text = expand_template(action, msg, match, nullptr, mode).get();
  return text;
}

TEST(Captures, WhatTheTestsOfTheRuleCaptured) {
  using Headers = std::vector<std::pair<const char *, const char *>>;
  const Headers list{{"List-Id", "Dev Team <dev-team.lists.example.org>"}, {"Subject", "[dev] [fwd] news"}};
  struct Case {
    const char *rule;
    const char *want;
  } cases[] = {
      // The example of the guide: one folder per list.
      {"{ Header \"List-Id\" regex \"<([a-z0-9-]+)\\\\.lists\\\\.example\\\\.org>\" } Pipe \"%1%\";", "dev-team"},
      {"{ Header Subject matches \"\\\\[*\\\\] *\" } Pipe \"%1%|%2%\";", "dev|[fwd] news"},
      // The last test that held wins; one that failed later changes nothing.
      {"{ From regex \"^(a)\" and From regex \"^(.)(n)\" } Pipe \"%1%%2%\";", "an"},
      {"{ From regex \"(ann)\" and (From regex \"(zz)\" or Match all) } Pipe \"%1%\";", "ann"},
      // Nothing under "!", the term's own or a node's.
      {"{ From !regex \"(zz)\" } Pipe \"[%1%]\";", "[]"},
      {"{ !(!(From regex \"(ann)\")) } Pipe \"[%1%]\";", "[]"},
      // A group that took no part and one past the last are empty; the
      // address parts split a capture too.
      {"{ From regex \"^(x)?(ann)@(.*)\" } Pipe \"[%1%|%2%|%4%|%3.USER%|%3.DOMAIN%]\";", "[|ann||example.org|]"},
      {"{ From regex \"(.+)\" } Pipe \"%1.USER% at %1.DOMAIN%\";", "ann at example.org"},
      // A rule without a capturing test that held: all empty.
      {"{ From is ann@example.org } Pipe \"[%1%]\";", "[]"},
      // Address tests capture from the address, lower-cased.
      {"{ Address From regex \"^([^@]+)@\" } Pipe \"%1%\";", "ann"},
      // Over several values: from the first that matched, the same for
      // every recipient of an %ALLTO% action.
      {"{ To regex \"^(.)@\" } Pipe \"%1%-%ALLTO%\";", "b-b@x b-c@x"},
  };
  Headers headers = list;
  headers.emplace_back("From", "\"A\" <Ann@Example.ORG>");
  for (const Case &c : cases)
    EXPECT_EQ(expanded(c.rule, "<Ann@Example.org>", {"b@x", "c@x"}, headers), c.want) << c.rule;
}

// Captured text is the sender's: made safe for a path or a command like the
// envelope's values, and a path from it opens name by name.
TEST(Captures, InsertedWithTheSafetyOfTheirPlace) {
  const std::vector<std::pair<const char *, const char *>> headers{{"Subject", "../etc/-x;rm y"}};
  EXPECT_EQ(expanded("{ Header Subject matches \"*\" } Store In \"/m/%1%\";", "a@b", {"r@x"}, headers, INSERT_PATH_SAFE),
            "/m/_._etc_-x;rm y");
  EXPECT_EQ(expanded("{ Header Subject matches \"*/*\" } Pipe \"x %2%\";", "a@b", {"r@x"}, headers, INSERT_SHELL_SAFE),
            "x etc_-x_rm_y");
}

}  // namespace

// Wildcard patterns of Matches terms: what matches, which patterns load, and
// that NUL and bytes of 0x80 and above are ordinary bytes.
#include "rules/wildcard.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace std::literals;

namespace {

bool matches(std::string_view pattern, std::string_view value) {
  return wildcard_match(pattern.data(), pattern.size(), value.data(), value.size());
}

TEST(Wildcard, MatchesTheWholeValue) {
  struct Case {
    std::string_view pattern, value;
    bool want;
  } cases[] = {
      // Plain bytes cover the whole value.
      {"", "", true},
      {"", "a", false},
      {"abc", "abc", true},
      {"abc", "abcd", false},
      {"abc", "xabc", false},
      // "*" takes any run, the empty one too; several stars; backtracking.
      {"*", "", true},
      {"*", "anything at all", true},
      {"**", "x", true},
      {"a*", "a", true},
      {"*@example.org", "ann@example.org", true},
      {"*@example.org", "ann@example.org.evil", false},
      {"*.example.*", "mx.example.org", true},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"*ab", "aab", true},
      {"*aab", "aaab", true},
      {"a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaa", false},
      // "?" takes exactly one byte.
      {"?", "", false},
      {"?", "x", true},
      {"??", "x", false},
      {"a?c", "abc", true},
      {"*?", "", false},
      // Sets, ranges, negation with "!" or "^", "]" and "-" as members.
      {"[abc]", "b", true},
      {"[abc]", "d", false},
      {"[a-f]x", "cx", true},
      {"[a-f]x", "gx", false},
      {"[!a-f]", "g", true},
      {"[!a-f]", "c", false},
      {"[^0-9]", "x", true},
      {"[^0-9]", "5", false},
      {"[]]", "]", true},
      {"[!]]", "]", false},
      {"[!]]", "a", true},
      {"[a-]", "-", true},
      {"[-a]", "-", true},
      {"[z-a]", "m", false},
      {"[[]", "[", true},
      {"list[0-9][0-9]", "list42", true},
      {"list[0-9][0-9]", "list4x", false},
      // A backslash takes the next byte as it is, inside a set too.
      {"\\*", "*", true},
      {"\\*", "x", false},
      {"a\\?", "a?", true},
      {"a\\?", "ab", false},
      {"[\\]]", "]", true},
      {"[\\!a]", "!", true},
      {"[a\\-z]", "b", false},
      {"[a\\-z]", "-", true},
      {"a\\", "a\\", true},  // a backslash that ends the pattern stands for itself
      // An unclosed "[" that reaches the matcher is an ordinary byte.
      {"[ab", "[ab", true},
      // Counted bytes: NUL and 8-bit bytes are ordinary.
      {"a?b"sv, "a\0b"sv, true},
      {"*\xe9*", "caf\xe9s", true},
      {"[\x80-\xff]", "\xc3", true},
      {"[\x80-\xff]", "c", false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(matches(c.pattern, c.value), c.want) << '"' << c.pattern << "\" on \"" << c.value << '"';
}

TEST(Wildcard, EveryOpenSetMustClose) {
  struct Case {
    std::string_view pattern;
    bool want;
  } cases[] = {
      {"", true},          {"*.org", true},  {"[a]", true},    {"[]]", true},  {"[!]]", true},
      {"[\\]]", true},     {"\\[", true},    {"a\\", true},    {"[", false},   {"[a", false},
      {"[]", false},       {"[!]", false},   {"[^]", false},   {"[a\\]", false}, {"x[a]y[", false},
  };
  for (const Case &c : cases) EXPECT_EQ(wildcard_valid(c.pattern.data(), c.pattern.size()), c.want) << c.pattern;
}

// One pass with a single point of return: a long value against a pattern
// that fails only at its end takes the product of the lengths at most.
TEST(Wildcard, LongValuesAreMatched) {
  const std::string value(100000, 'a');
  EXPECT_TRUE(matches("*a", value));
  EXPECT_FALSE(matches("*a*b", value));
  EXPECT_TRUE(matches("a*", value + "b"));
}

}  // namespace

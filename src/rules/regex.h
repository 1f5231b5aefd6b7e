// Regular expressions of Regex terms, compiled with RE2.
//
// RE2's matching time is linear in the length of the value, whatever the
// expression, so a hostile address or header cannot stall a connection
// thread. An expression is compiled once, when the rule file is loaded, and
// the compiled form is shared read-only by every connection thread (RE2 is
// safe for concurrent matching). Expressions and values are read as UTF-8.
//
// Only this pair of files sees RE2's headers; the model holds a Regex.
#pragma once

#include <cstddef>
#include <memory>

namespace re2 {
class RE2;
}

struct RegexDelete {
  void operator()(re2::RE2 *regex) const noexcept;
};
using Regex = std::unique_ptr<re2::RE2, RegexDelete>;

// Compiles `expression` (NUL-terminated), case-sensitive or not. On failure
// returns null and writes RE2's reason for the parser's message to `reason`
// (at most `reason_size` bytes, NUL included); "out of memory" when memory
// runs out. Initial thread only.
Regex compile_regex(const char *expression, bool case_sensitive, char *reason, std::size_t reason_size) noexcept;

// Whether `regex` matches somewhere in the `length` bytes of `value`. False
// when RE2 cannot get the memory it matches with. Any thread.
bool regex_found(const re2::RE2 &regex, const char *value, std::size_t length) noexcept;

// The capturing groups of `regex`.
std::size_t regex_groups(const re2::RE2 &regex) noexcept;

// What a group of a match took: `length` bytes from `start`; `taken` false
// for a group that took no part.
struct RegexSpan {
  std::size_t start = 0;
  std::size_t length = 0;
  bool taken = false;
};

// regex_found that also says what groups 1 to `max_groups` took (the
// leftmost match, as RE2 finds it). `spans` is filled only on a match.
bool regex_found_groups(const re2::RE2 &regex, const char *value, std::size_t length, RegexSpan *spans,
                        std::size_t max_groups) noexcept;

// Wildcard patterns of Matches terms.
//
// A pattern covers the whole value: "*" any run of bytes, "?" one byte,
// "[...]" one byte of a set (ranges such as "a-z"; a leading "!" or "^"
// negates; a "]" first in the set is an ordinary member), and a backslash
// takes the next byte as it is, inside a set too (a backslash that ends the
// pattern stands for itself). Bytes compare as they are: the caller
// lower-cases pattern and value when case does not count.
//
// Pure functions on counted bytes (NUL is an ordinary byte); they allocate
// nothing and may be called from any thread.
#pragma once

#include <cstddef>

// Whether every "[" of the pattern is closed. A pattern that is not is
// refused at load; wildcard_match takes such a "[" as an ordinary byte.
bool wildcard_valid(const char *pattern, std::size_t length) noexcept;

// Whether the pattern matches all of the value. Time is at most proportional
// to the product of the two lengths, space constant.
bool wildcard_match(const char *pattern, std::size_t pattern_length, const char *value,
                    std::size_t value_length) noexcept;

// What one group of a match took: `length` bytes of the value from `start`.
struct WildcardSpan {
  std::size_t start = 0;
  std::size_t length = 0;
};

// The groups of a pattern: each "*", "?" and "[...]" is one, in order.
std::size_t wildcard_groups(const char *pattern, std::size_t length) noexcept;

// wildcard_match that also says what the first `max_groups` groups took:
// each "*" as few bytes as it can while the rest still matches, from left to
// right. `spans` is filled only when the pattern matches.
bool wildcard_match_groups(const char *pattern, std::size_t pattern_length, const char *value,
                           std::size_t value_length, WildcardSpan *spans, std::size_t max_groups) noexcept;

// Wildcard matching: one pass over the value, going back only to the byte
// after the last "*" seen. Every element other than "*" takes exactly one
// byte, so retrying from the last star alone finds a match whenever there
// is one.
#include "rules/wildcard.h"

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Bytes of the set that opens at pattern[at] ("["), its "]" included; 0 when
// nothing closes it.
std::size_t set_length(const char *pattern, std::size_t length, std::size_t at) noexcept {
  std::size_t i = at + 1;
  if (i < length && (pattern[i] == '!' || pattern[i] == '^')) ++i;
  if (i < length && pattern[i] == ']') ++i;  // a leading "]" is a member
  for (; i < length; ++i) {
    if (pattern[i] == '\\') {
      ++i;
      continue;
    }
    if (pattern[i] == ']') return i + 1 - at;
  }
  return 0;
}

// The member byte at pattern[i] (after a backslash, the byte it escapes);
// advances `i` past it.
unsigned char set_byte(const char *pattern, std::size_t end, std::size_t &i) noexcept {
  if (pattern[i] == '\\' && i + 1 < end) ++i;
  return static_cast<unsigned char>(pattern[i++]);
}

// Whether `byte` is in the set pattern[at, at + size).
bool in_set(const char *pattern, std::size_t at, std::size_t size, unsigned char byte) noexcept {
  const std::size_t end = at + size - 1;  // the closing "]"
  std::size_t i = at + 1;
  const bool negated = pattern[i] == '!' || pattern[i] == '^';
  if (negated) ++i;
  bool found = false;
  while (i < end) {
    const unsigned char low = set_byte(pattern, end, i);
    unsigned char high = low;
    if (i + 1 < end && pattern[i] == '-') {  // a "-" before the "]" is a member
      ++i;
      high = set_byte(pattern, end, i);
    }
    if (byte >= low && byte <= high) found = true;
  }
  return found != negated;
}

// Whether the element at pattern[p] (not "*") takes `byte`; `step` is its
// length in the pattern.
bool element_takes(const char *pattern, std::size_t length, std::size_t p, unsigned char byte,
                   std::size_t &step) noexcept {
  step = 1;
  switch (pattern[p]) {
  case '?': return true;
  case '[': {
    const std::size_t size = set_length(pattern, length, p);
    if (size == 0) break;  // unclosed: an ordinary "["
    step = size;
    return in_set(pattern, p, size, byte);
  }
  case '\\':
    if (p + 1 < length) {
      step = 2;
      return static_cast<unsigned char>(pattern[p + 1]) == byte;
    }
    break;
  default: break;
  }
  return static_cast<unsigned char>(pattern[p]) == byte;
}

}  // namespace

bool wildcard_valid(const char *pattern, std::size_t length) noexcept {
  for (std::size_t p = 0; p < length; ++p) {
    if (pattern[p] == '\\') {
      ++p;
    } else if (pattern[p] == '[') {
      const std::size_t size = set_length(pattern, length, p);
      if (size == 0) return false;
      p += size - 1;
    }
  }
  return true;
}


std::size_t wildcard_groups(const char *pattern, std::size_t length) noexcept {
  std::size_t groups = 0;
  for (std::size_t p = 0; p < length; ++p) {
    if (pattern[p] == '\\') {
      ++p;
    } else if (pattern[p] == '*' || pattern[p] == '?') {
      ++groups;
    } else if (pattern[p] == '[') {
      const std::size_t size = set_length(pattern, length, p);
      if (size == 0) continue;
      ++groups;
      p += size - 1;
    }
  }
  return groups;
}

namespace {

// The one pass of both matchers. With `kGroups` it records each group's span
// as it goes: going back to the last star re-records the groups after it,
// and every group before it keeps what it took, which is the fewest bytes it
// could. Without, it records nothing and costs what a plain match costs.
template <bool kGroups>
bool match_walk(const char *pattern, std::size_t pattern_length, const char *value, std::size_t value_length,
                WildcardSpan *spans, std::size_t max_groups) noexcept {
  const auto record = [&](std::size_t group, std::size_t start, std::size_t length) noexcept {
    if (kGroups && group < max_groups) spans[group] = WildcardSpan{start, length};
  };
  std::size_t p = 0, v = 0, group = 0;
  std::size_t star = kNone;  // the element after the last "*"
  std::size_t star_v = 0;    // where that star's run ends for now
  std::size_t star_group = 0, star_start = 0;
  while (v < value_length) {
    if (p < pattern_length) {
      if (pattern[p] == '*') {
        if constexpr (kGroups) {
          record(group, v, 0);
          star_group = group++;
          star_start = v;
        }
        star = ++p;
        star_v = v;
        continue;
      }
      std::size_t step = 1;
      if (element_takes(pattern, pattern_length, p, static_cast<unsigned char>(value[v]), step)) {
        // "?" and a set are groups; a "[" that took more than itself opened one.
        if (kGroups && (pattern[p] == '?' || (pattern[p] == '[' && step > 1))) record(group++, v, 1);
        p += step;
        ++v;
        continue;
      }
    }
    if (star == kNone) return false;
    p = star;  // the last star takes one byte more
    v = ++star_v;
    if constexpr (kGroups) {
      record(star_group, star_start, star_v - star_start);
      group = star_group + 1;
    }
  }
  for (; p < pattern_length && pattern[p] == '*'; ++p) record(group++, v, 0);
  return p == pattern_length;
}

}  // namespace

bool wildcard_match_groups(const char *pattern, std::size_t pattern_length, const char *value,
                           std::size_t value_length, WildcardSpan *spans, std::size_t max_groups) noexcept {
  return match_walk<true>(pattern, pattern_length, value, value_length, spans, max_groups);
}

bool wildcard_match(const char *pattern, std::size_t pattern_length, const char *value,
                    std::size_t value_length) noexcept {
  return match_walk<false>(pattern, pattern_length, value, value_length, nullptr, 0);
}

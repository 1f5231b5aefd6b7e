// Fuzz target for the wildcard matcher of Matches terms.
//
// The input is a pattern, a NUL, and a value (which may hold further NULs).
// The matcher's answer is checked against a plain table-filling match over
// the pattern's elements, read here on their own from the manual's rules,
// for inputs small enough to fill the table; larger ones are only run.
// Aborts when the two disagree, or when a valid pattern does not match
// itself with every special byte escaped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "rules/wildcard.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// One element: a star, any byte, or a byte set (a plain byte is a set of one).
struct Element {
  bool star = false;
  bool negated = false;
  std::vector<std::pair<unsigned char, unsigned char>> ranges;  // empty and not negated: any byte
  bool any = false;
};

// The byte at pattern[i], or the one a backslash escapes; advances i.
unsigned char take(std::string_view pattern, std::size_t end, std::size_t &i) {
  if (pattern[i] == '\\' && i + 1 < end) ++i;
  return static_cast<unsigned char>(pattern[i++]);
}

// Index of the "]" closing the set opened at `open`, or npos.
std::size_t closing(std::string_view pattern, std::size_t open) {
  std::size_t i = open + 1;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;
  while (i < pattern.size()) {
    if (pattern[i] == '\\') {
      i += 2;
      continue;
    }
    if (pattern[i] == ']') return i;
    ++i;
  }
  return std::string_view::npos;
}

std::vector<Element> elements_of(std::string_view pattern) {
  std::vector<Element> elements;
  for (std::size_t i = 0; i < pattern.size();) {
    Element e;
    const char ch = pattern[i];
    if (ch == '*') {
      e.star = true;
      ++i;
    } else if (ch == '?') {
      e.any = true;
      ++i;
    } else if (ch == '[' && closing(pattern, i) != std::string_view::npos) {
      const std::size_t end = closing(pattern, i);
      std::size_t j = i + 1;
      if (pattern[j] == '!' || pattern[j] == '^') {
        e.negated = true;
        ++j;
      }
      while (j < end) {
        const unsigned char low = take(pattern, end, j);
        unsigned char high = low;
        if (j + 1 < end && pattern[j] == '-') {
          ++j;
          high = take(pattern, end, j);
        }
        e.ranges.emplace_back(low, high);
      }
      i = end + 1;
    } else {
      const unsigned char byte = take(pattern, pattern.size(), i);
      e.ranges.emplace_back(byte, byte);
    }
    elements.push_back(e);
  }
  return elements;
}

bool takes(const Element &e, unsigned char byte) {
  if (e.any) return true;
  bool in = false;
  for (const auto &[low, high] : e.ranges) in = in || (byte >= low && byte <= high);
  return in != e.negated;
}

bool reference_match(std::string_view pattern, std::string_view value) {
  const std::vector<Element> elements = elements_of(pattern);
  const std::size_t n = elements.size(), m = value.size();
  // done[i][j]: elements from i on match value from j on.
  std::vector<std::vector<char>> done(n + 1, std::vector<char>(m + 1, 0));
  done[n][m] = 1;
  for (std::size_t i = n; i-- > 0;) {
    for (std::size_t j = m + 1; j-- > 0;) {
      if (elements[i].star)
        done[i][j] = done[i + 1][j] || (j < m && done[i][j + 1]);
      else
        done[i][j] = j < m && takes(elements[i], static_cast<unsigned char>(value[j])) && done[i + 1][j + 1];
    }
  }
  return done[0][0] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view pattern = input.substr(0, split);
  const std::string_view value = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  const bool got = wildcard_match(pattern.data(), pattern.size(), value.data(), value.size());
  if (pattern.size() <= 64 && value.size() <= 1024) require(got == reference_match(pattern, value));

  // Every byte escaped, a pattern matches exactly its own bytes.
  std::string escaped;
  for (const char ch : pattern) escaped += {'\\', ch};
  require(wildcard_valid(escaped.data(), escaped.size()));
  require(wildcard_match(escaped.data(), escaped.size(), pattern.data(), pattern.size()));
  return 0;
}

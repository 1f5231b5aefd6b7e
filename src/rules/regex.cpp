// Regular expressions of Regex terms: RE2 behind the seam of regex.h.
//
// Expressions are compiled with their groups, so that the rule-file warnings
// can count them and a rule whose actions use %1% to %9% can ask for them;
// a match that asks for no group runs as fast as one compiled without.
//
// RE2 reports a bad expression as a result, but it allocates with the
// throwing operator new: a failed allocation is caught here, so that no
// exception leaves the rules layer (the callers are noexcept and run inside
// the milter library's threads).
#include "rules/regex.h"

#include <re2/re2.h>

#include <cstdio>
#include <new>

void RegexDelete::operator()(re2::RE2 *regex) const noexcept { delete regex; }

Regex compile_regex(const char *expression, bool case_sensitive, char *reason, std::size_t reason_size) noexcept {
  try {
    RE2::Options options;
    options.set_log_errors(false);  // the parser reports the reason itself
    options.set_case_sensitive(case_sensitive);
    Regex regex(new RE2(expression, options));
    if (regex->ok()) return regex;
    std::snprintf(reason, reason_size, "%s", regex->error().c_str());
  } catch (...) {
    std::snprintf(reason, reason_size, "out of memory");
  }
  return nullptr;
}

bool regex_found(const re2::RE2 &regex, const char *value, std::size_t length) noexcept {
  try {
    return RE2::PartialMatch(re2::StringPiece(value, length), regex);
  } catch (...) {
    return false;
  }
}

std::size_t regex_groups(const re2::RE2 &regex) noexcept {
  const int groups = regex.NumberOfCapturingGroups();
  return groups > 0 ? static_cast<std::size_t>(groups) : 0;
}

bool regex_found_groups(const re2::RE2 &regex, const char *value, std::size_t length, RegexSpan *spans,
                        std::size_t max_groups) noexcept {
  std::size_t groups = regex_groups(regex);
  if (groups > max_groups) groups = max_groups;
  re2::StringPiece found[10];
  if (groups + 1 > sizeof found / sizeof found[0]) groups = sizeof found / sizeof found[0] - 1;
  try {
    const re2::StringPiece text(value, length);
    if (!regex.Match(text, 0, length, RE2::UNANCHORED, found, static_cast<int>(groups + 1))) return false;
  } catch (...) {
    return false;
  }
  for (std::size_t i = 0; i < groups; ++i) {
    const re2::StringPiece &group = found[i + 1];
    spans[i].taken = group.data() != nullptr;
    spans[i].start = spans[i].taken ? static_cast<std::size_t>(group.data() - value) : 0;
    spans[i].length = spans[i].taken ? group.size() : 0;
  }
  return true;
}

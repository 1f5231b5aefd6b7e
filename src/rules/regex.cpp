// Regular expressions of Regex terms: RE2 behind the seam of regex.h.
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
    options.set_never_capture(true);
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

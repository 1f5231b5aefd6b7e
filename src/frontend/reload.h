// Reloading the rule file while mail is served.
//
// reload_rules reads the rule file at `path` into a new RuleSet and, when it
// loads, makes it the filter's set: every end of message that begins after
// the swap uses it, the messages already running their rules finish with the
// set they began with. A file that does not load (unreadable, a syntax
// error), or that holds no rule while the set in use holds some (a half-saved
// edit must not switch archiving off), changes nothing.
//
// Log lines: a reload that loads writes a WARNING line for each connector
// warning of the parser, then one lifecycle line
//   Rule file "<path>" reloaded: <n> rules.
// one that does not writes one WARNING line, and nothing else:
//   Quorvane(reload): WARNING - Rule file "<path>" not loaded, the rules in use are kept: <message>
// where <message> is the text start-up would print with each line break made
// a space and none at the end, or "the file holds no rule".
//
// Threads: the daemon's reload thread only (connection threads never parse).
// ReloadStats belongs to that thread, and to the initial thread once the
// reload thread has ended.
#pragma once

#include <cstdint>
#include <ctime>

#include "milter/filter.h"

struct ReloadStats {
  std::uint64_t succeeded = 0;
  std::uint64_t failed = 0;
  std::time_t loaded_at = 0;  // when the rules in use were loaded
};

// Returns true when the rules were replaced.
bool reload_rules(const char *path, Filter &filter, ReloadStats &stats) noexcept;

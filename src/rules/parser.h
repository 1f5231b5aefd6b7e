// Rule file parser.
//
// Reads the rule language byte by byte with one character of push-back and
// builds the rule model while it reads: each rule is appended as soon as its
// "{" is read, with the line of that "{". The first syntax error stops the
// parse and its message goes back to the caller; the connector warning is
// written and parsing goes on.
// Runs on one thread at a time; never ends the process.
#pragma once

#include <cstdio>
#include <string>

#include "rules/rule.h"

// Parses `in` to its end (or a NUL byte), appending rules to `set.rules` and
// setting `set.has_add_header` when an Add Header action was read. Warnings
// are written to `diagnostics` as they happen. Returns true on success; on a
// syntax error returns false with the exact message (newline included) in
// `error`; `set` then holds what was built so far.
bool parse_rule_file(std::FILE *in, RuleSet &set, std::FILE *diagnostics, std::string &error) noexcept;

// Same, on an in-memory text.
bool parse_rule_text(const char *bytes, std::size_t length, RuleSet &set, std::FILE *diagnostics,
                     std::string &error) noexcept;

// Opens `path` and parses it into `set`. On any failure (the file cannot be
// opened, a syntax error) returns false with the exact message for standard
// error in `error`.
bool load_rule_file(const char *path, RuleSet &set, std::FILE *diagnostics, std::string &error) noexcept;

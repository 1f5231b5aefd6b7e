// Rule file parser.
//
// Reads the rule language byte by byte with one character of push-back and
// builds the rule model while it reads: each rule is appended as soon as its
// "{" is read. The first syntax error stops the parse with its message; the
// connector warning is written and parsing goes on. Runs on the initial thread.
#pragma once

#include <cstdio>
#include <string>

#include "rules/rule.h"

// Set to 1 by the parser when an Add Header action was read.
extern int config_has_add_header;

// Parses `in` to its end (or a NUL byte), appending rules to `rules`.
// Warnings are written to `diagnostics` as they happen. Returns 1 on success;
// on a syntax error returns 0 with the exact message (newline included) in
// `error`. `rules` then holds what was built so far.
int parse_rule_file(std::FILE *in, RuleList &rules, std::FILE *diagnostics, std::string &error) noexcept;

// Same, on an in-memory text.
int parse_rule_text(const char *bytes, std::size_t length, RuleList &rules, std::FILE *diagnostics,
                    std::string &error) noexcept;

// Opens `path` and parses it into `rule_list`. On any failure writes the
// message to standard error and ends the process with status 70.
void load_rule_file(const char *path) noexcept;

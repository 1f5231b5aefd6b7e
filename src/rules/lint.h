// Rule-file warnings: rules that load but cannot do what they say.
//
// warn_rules looks over a loaded rule list and writes one line to `out` for
// each finding, in file order, each naming the line of its rule's "{":
//   - a %TO...% or %ALLTO...% placeholder that is empty whenever its rule
//     matches (no To test, or none that selects a recipient then);
//   - a Store In path that names a directory, or a Maildir path the action
//     refuses: it ends in "/", or does when the placeholders after its last
//     "/" are empty;
//   - a rule after one that always matches and halts (never reached);
//   - an Add Header text without ":".
// The texts are listed in quorvane.rules(5). Tests, placeholders and actions
// of kinds it does not know draw no warning, and a rule whose condition can
// never hold draws none about its actions. Returns the number of lines
// written. Reads the rules only; any thread.
#pragma once

#include <cstdio>

#include "rules/rule.h"

int warn_rules(const RuleList &rules, std::FILE *out) noexcept;

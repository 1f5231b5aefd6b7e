// Rule listing (-n): each rule's condition, fully parenthesised, on `out`.
#pragma once

#include <cstdio>

#include "rules/rule.h"

void print_condition(std::FILE *out, const ConditionNode &node) noexcept;
void print_term(std::FILE *out, const MatchTerm &term) noexcept;

// Every rule's condition in list order, with nothing between or after them.
void print_rules(std::FILE *out, const RuleList &rules) noexcept;

// Evaluating every rule of a list against one message, as end of message
// does before it runs actions: 1, 100 and 1,000 rules of envelope tests, and
// 100 and 1,000 rules of header tests and of regular expressions. The time
// per rule should not grow with the number of rules, so all rules of a case
// have one shape.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "rules/evaluate.h"

namespace {

void evaluate_all(benchmark::State &state, const std::string &text) {
  const Trace kNoTrace;
  RuleList rules;
  parse_or_die(text, rules);
  auto msg = make_message(2048);
  RuleMatch match;
  if (!match.prepare(3)) state.SkipWithError("no memory for the match");  // make_message: three recipients
  for (auto _ : state) {
    match.earlier_rule_matched = false;
    for (const Rule *rule = rules.head.get(); rule != nullptr; rule = rule->next.get()) {
      if (evaluate_rule(*rule, *msg, match, kNoTrace) != 0) match.earlier_rule_matched = true;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}

}  // namespace

static void BM_EvaluateRules(benchmark::State &state) {
  evaluate_all(state, make_uniform_rule_text(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_EvaluateRules)->Arg(1)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

static void BM_EvaluateHeaderRules(benchmark::State &state) {
  evaluate_all(state, make_header_rule_text(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_EvaluateHeaderRules)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

static void BM_EvaluateRegexRules(benchmark::State &state) {
  evaluate_all(state, make_regex_rule_text(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_EvaluateRegexRules)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

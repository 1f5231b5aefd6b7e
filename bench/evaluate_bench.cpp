// Evaluating every rule of a list against one message, as end of message
// does before it runs actions: 1, 100 and 1,000 rules. The time per rule
// should not grow with the number of rules, so all rules have one shape.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "rules/evaluate.h"

static void BM_EvaluateRules(benchmark::State &state) {
  const Trace kNoTrace;
  RuleList rules;
  parse_or_die(make_uniform_rule_text(static_cast<int>(state.range(0))), rules);
  auto msg = make_message(2048);
  for (auto _ : state) {
    msg->any_rule_matched = 0;
    for (const Rule *rule = rules.head.get(); rule != nullptr; rule = rule->next.get()) {
      if (evaluate_rule(*rule, *msg, kNoTrace) != 0) msg->any_rule_matched = 1;
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EvaluateRules)->Arg(1)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

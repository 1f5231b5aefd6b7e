// Parsing a rule file of 10,000 rules from memory, model building and
// release included.
#include <benchmark/benchmark.h>

#include "bench_support.h"

static void BM_ParseRuleFile(benchmark::State &state) {
  const std::string text = make_rule_text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    RuleList rules;
    parse_or_die(text, rules);
    benchmark::DoNotOptimize(rules.head.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetLabel(std::to_string(text.size()) + " bytes");
}
BENCHMARK(BM_ParseRuleFile)->Arg(10000)->Unit(benchmark::kMillisecond);

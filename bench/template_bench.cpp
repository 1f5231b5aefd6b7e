// Expanding an action template for one message: a path with sender parts
// and recipient placeholders, under each way of inserting values, and a
// monthly archive path with the date placeholders.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "rules/template.h"

static void BM_ExpandTemplate(benchmark::State &state) {
  RuleList rules;
  parse_or_die(
      "{ To ends \"@example.test\" } Store In \"/srv/mail/%FROM.DOMAIN%/%FROM.USER%/%ALLTO.USER%-%TO%.mbox\";",
      rules);
  const Action &action = *rules.head->actions.head;
  auto msg = make_message(0);
  RuleMatch match;
  match.first_to = msg->recipients.head->address.get();
  const auto mode = static_cast<InsertMode>(state.range(0));
  for (auto _ : state) {
    Text text = expand_template(action, *msg, match, nullptr, mode);
    benchmark::DoNotOptimize(text.get());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExpandTemplate)->Arg(INSERT_AS_IS)->Arg(INSERT_PATH_SAFE)->Arg(INSERT_SHELL_SAFE);

static void BM_ExpandDateTemplate(benchmark::State &state) {
  RuleList rules;
  parse_or_die("{ Match all } Store In \"/srv/archive/%YEAR%-%MONTH%/%DAY%.mbox\";", rules);
  const Action &action = *rules.head->actions.head;
  auto msg = make_message(0);
  const RuleMatch match;
  for (auto _ : state) {
    Text text = expand_template(action, *msg, match, nullptr, INSERT_PATH_SAFE);
    benchmark::DoNotOptimize(text.get());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExpandDateTemplate);

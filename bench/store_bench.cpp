// What making a delivery durable costs: Store In of a 2 KB message appended
// to one mailbox, and Maildir delivering it into one Maildir, each with its
// disk syncs (argument 1) and with them turned into no-ops (argument 0).
// The files live in a scratch directory under TMPDIR (default /tmp), on
// whatever file system that is; wall-clock time, since a sync waits for the
// disk and not for the processor.
//
// The syncs are turned off by this program's own fdatasync and fsync, which
// the dynamic linker prefers to the C library's: the actions run exactly the
// code they run in the daemon.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "actions/actions.h"
#include "base/log.h"
#include "base/trace.h"
#include "bench_support.h"
#include "rules/template.h"

namespace {

bool syncs_skipped = false;

using SyncCall = int (*)(int);

// A scratch directory, removed with what the benchmark put there.
class ScratchDir {
 public:
  ScratchDir() {
    const char *tmp = std::getenv("TMPDIR");
    path_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/quorvane-bench-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
  }
  ~ScratchDir() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
  }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Runs the action of `kind` on `target` once per iteration, with the syncs
// on when the argument is 1.
void run_action(benchmark::State &state, ActionType kind, const std::string &name) {
  ScratchDir dir;
  Rule rule;
  Action *action = add_action(rule);
  action->kind = kind;
  const std::string target = dir.path() + "/" + name;
  if (!parse_template(target.c_str(), rule, *action)) std::abort();
  action->literal_length = template_literal_length(action->pieces.head.get());
  auto msg = make_message(2048);
  const Log log;
  const Trace no_trace;
  const ActionEnv env{log, no_trace, 1796724000};
  const ActionKind &run = action_kind(kind);
  const RuleMatch match;  // the template names no recipient

  syncs_skipped = state.range(0) == 0;
  for (auto _ : state)
    if (run.run(*action, env, *msg, match) != 1) state.SkipWithError("the action failed");
  syncs_skipped = false;
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

extern "C" int fdatasync(int fd) {
  static const auto real = reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, "fdatasync"));
  return syncs_skipped ? 0 : real(fd);
}

extern "C" int fsync(int fd) {
  static const auto real = reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, "fsync"));
  return syncs_skipped ? 0 : real(fd);
}

static void BM_StoreIn(benchmark::State &state) { run_action(state, ACTION_STORE_IN, "mbox"); }
static void BM_Maildir(benchmark::State &state) { run_action(state, ACTION_MAILDIR, "maildir"); }

BENCHMARK(BM_StoreIn)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Maildir)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

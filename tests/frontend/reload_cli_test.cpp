// Reloads and the metrics file with the real binary: SIGUSR1 after -b has
// left the start directory, a metrics file that cannot be written, and the
// signals that still end the daemon.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "support/process.h"
#include "support/temp_dir.h"

namespace {

const std::string kQuorvane = QUORVANE_BINARY;

constexpr char kRules[] = "{ Match all } Halt;\n";

std::size_t count_lines(const std::string &log, const std::string &line) {
  std::size_t count = 0;
  for (const std::string &seen : log_lines_without_time(log)) count += seen == line ? 1 : 0;
  return count;
}

// The rule file and the metrics file are found again from "/", where -b
// leaves the daemon: both paths were relative to the start directory.
TEST(ReloadCli, DetachedDaemonReloadsTheFileItStartedWith) {
  TempDir dir;
  write_file((dir / "rules.conf"), kRules);
  Launch launch;
  launch.directory = dir.path();
  const Result started = run_program(kQuorvane, {"-b", "-f", "rules.conf", "-p", "unix:" + (dir / "milter.sock"), "-r",
                                            "quorvane.pid", "-l", "quorvane.log", "-m", "quorvane.prom"},
                                           launch);
  ASSERT_EQ(started.status, 0) << started.err;
  ASSERT_TRUE(wait_serving("unix:" + dir / "milter.sock"));
  const pid_t daemon = static_cast<pid_t>(std::stol(read_file((dir / "quorvane.pid"))));
  struct Cleanup {
    pid_t pid;
    ~Cleanup() { kill(pid, SIGKILL); }
  } cleanup{daemon};
  const std::string log = (dir / "quorvane.log");
  const std::string metrics = (dir / "quorvane.prom");
  EXPECT_TRUE(wait_until([&] { return file_exists(metrics); })) << "written when serving starts";

  write_file((dir / "rules.conf"), "{ Match all } Halt;\n{ Not matched } Halt;\n");
  kill(daemon, SIGUSR1);
  const std::string reloaded = "Quorvane: Rule file \"" + (dir / "rules.conf") + "\" reloaded: 2 rules.";
  ASSERT_TRUE(wait_until([&] { return log_has(log, reloaded); })) << read_file(log);
  EXPECT_TRUE(wait_until([&] {
    return read_file(metrics).find("quorvane_reloads_total{result=\"success\"} 1\n") != std::string::npos;
  }));
  EXPECT_EQ(kill(daemon, 0), 0) << "SIGUSR1 does not end it";

  terminate_when_idle(daemon);
  EXPECT_TRUE(wait_until([&] { return log_has(log, "Quorvane: Stopped."); }));
}

// A metrics file that cannot be written stops neither the start nor the
// reloads; its one warning is not repeated while the failure lasts.
TEST(ReloadCli, UnwritableMetricsFileWarnsOnce) {
  TempDir dir;
  write_file((dir / "rules.conf"), kRules);
  const std::string log = (dir / "quorvane.log");
  const std::string metrics = (dir / "missing/quorvane.prom");
  Daemon daemon(kQuorvane, {"-f", (dir / "rules.conf"), "-p", "unix:" + (dir / "milter.sock"), "-l", log, "-m", metrics}, dir);
  ASSERT_TRUE(wait_serving("unix:" + dir / "milter.sock")) << daemon.err();
  const std::string warning = "Quorvane(metrics): WARNING - Could not write metrics file '" + metrics +
                              "'. (errno: 2:No such file or directory).";
  const std::string reloaded = "Quorvane: Rule file \"" + (dir / "rules.conf") + "\" reloaded: 1 rule.";
  for (std::size_t reloads = 1; reloads <= 2; ++reloads) {
    kill(daemon.pid(), SIGUSR1);
    ASSERT_TRUE(wait_until([&] { return count_lines(log, reloaded) == reloads; })) << read_file(log);
  }
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(count_lines(log, warning), 1u) << read_file(log);
  EXPECT_EQ(daemon.err(), "");
}

// The milter library still ends the daemon on SIGHUP and SIGINT (SIGTERM:
// every test that stops a daemon) with the reload thread beside it, which
// must never be the thread these signals are delivered to.
TEST(ReloadCli, HupAndIntStillEndTheDaemon) {
  for (int signal : {SIGHUP, SIGINT}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    write_file((dir / "rules.conf"), kRules);
    const std::string log = (dir / "quorvane.log");
    Daemon daemon(kQuorvane, {"-f", (dir / "rules.conf"), "-p", "unix:" + (dir / "milter.sock"), "-l", log}, dir);
    ASSERT_TRUE(wait_serving("unix:" + dir / "milter.sock")) << daemon.err();
    wait_until([&] { return listener_idle(daemon.pid()); }, std::chrono::milliseconds(5000));
    kill(daemon.pid(), signal);
    ASSERT_TRUE(wait_until([&] { return !daemon.running(); }));
    EXPECT_TRUE(log_has(log, "Quorvane: Stopped."));
  }
}

}  // namespace

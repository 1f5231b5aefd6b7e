// The pid file with the real binary: one instance per file, take-over of a
// stale file, guarded removal at shutdown, and the detached daemon (-b).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/milter_client.h"
#include "support/process.h"

namespace {

const std::string kQuorvane = QUORVANE_BINARY;

constexpr char kRules[] = "{ Match all } Halt;\n";

struct PidScene {
  TempDir dir;
  std::string rules = dir / "rules.conf";
  std::string pid_file = dir / "quorvane.pid";
  std::string log = dir / "quorvane.log";
  PidScene() { write_file(rules, kRules); }

  std::vector<std::string> args(const std::string &socket_name = "milter.sock") const {
    return {"-f", rules, "-p", "unix:" + dir / socket_name, "-r", pid_file, "-l", log};
  }
  bool started() const { return log_has(log, "Quorvane: Started. Logging to file enabled."); }
  bool serving() const {
    return wait_until([this] { return started(); }) && wait_serving("unix:" + dir / "milter.sock");
  }
  bool stopped() const { return log_has(log, "Quorvane: Stopped."); }
  std::string aborting_line() const {
    return "Quorvane: Aborting removal of pidfile \"" + pid_file + "\" on exit, file has been changed";
  }
};

ino_t inode_of(const std::string &path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

mode_t mode_of(const std::string &path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// The process holding a write lock on `path`, as the kernel reports it; 0 for none.
pid_t lock_holder(const std::string &path) {
  const int descriptor = open(path.c_str(), O_RDWR);
  if (descriptor < 0) return 0;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const bool asked = fcntl(descriptor, F_GETLK, &lock) == 0;
  close(descriptor);
  return asked && lock.l_type != F_UNLCK ? lock.l_pid : 0;
}

TEST(PidFileCli, SecondInstanceIsRefusedAndTheFileLeftAlone) {
  PidScene setup;
  Daemon first(kQuorvane, setup.args(), setup.dir);
  ASSERT_TRUE(setup.serving()) << first.err();
  const std::string pid_text = std::to_string(first.pid());
  EXPECT_EQ(read_file(setup.pid_file), pid_text) << "the id alone, no newline";
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(mode_of(setup.pid_file), 0600 & ~mask);
  const ino_t inode = inode_of(setup.pid_file);

  for (const char *detach : {"", "-b"}) {
    SCOPED_TRACE(*detach != '\0' ? "detached" : "foreground");
    std::vector<std::string> args = setup.args("second.sock");
    args.back() = setup.dir / "second.log";
    if (*detach != '\0') args.insert(args.begin(), detach);
    const Result second = run_program(kQuorvane, args);
    EXPECT_EQ(second.err, "Program is already running, pid: " + pid_text + "\n");
    EXPECT_EQ(second.status, 70);
    EXPECT_EQ(read_file(setup.pid_file), pid_text);
    EXPECT_EQ(inode_of(setup.pid_file), inode);
  }

  EXPECT_EQ(first.stop(), 0);
  EXPECT_FALSE(file_exists(setup.pid_file));
}

// A second start aimed at the socket of a serving daemon, with or without its
// pid file, fails without taking the socket: the first one still answers.
TEST(PidFileCli, SecondStartNeverTakesTheServingSocket) {
  PidScene setup;
  Daemon first(kQuorvane, setup.args(), setup.dir);
  ASSERT_TRUE(setup.serving()) << first.err();
  const std::string path = setup.dir / "milter.sock", socket = "unix:" + path;
  const std::string in_use = " - Socket in use by a running filter\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-p", socket, "-r", setup.pid_file}, "Program is already running, pid: " + std::to_string(first.pid()) + "\n"},
      {{"-p", socket}, "Unable to open port: " + socket + in_use},
      {{"-p", socket, "-r", setup.dir / "other.pid"}, "Unable to open port: " + socket + in_use},
      {{"-d", "-p", socket}, "Unable to open port: " + socket + in_use},
      {{"-p", path}, "Unable to open port: " + path + in_use},
      {{"-b", "-p", socket}, "Unable to open port: " + socket + in_use},
  };
  for (const auto &[args, want_err] : cases) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    std::vector<std::string> all = {"-f", setup.rules};
    all.insert(all.end(), args.begin(), args.end());
    const Result second = run_program(kQuorvane, all);
    EXPECT_EQ(second.err, want_err);
    EXPECT_EQ(second.status, 70);
    EXPECT_TRUE(answers_negotiation(socket)) << "the first daemon still serves its socket";
    EXPECT_EQ(read_file(setup.pid_file), std::to_string(first.pid()));
    EXPECT_FALSE(file_exists(setup.dir / "other.pid")) << "a failed start leaves no pid file behind";
  }
  EXPECT_EQ(first.stop(), 0);
  EXPECT_EQ(first.err(), "") << "the probes of the socket are no news to the first daemon";
  EXPECT_EQ(log_lines_without_time(setup.log),
            (std::vector<std::string>{"Quorvane: Started. Logging to file enabled.", "Quorvane: Stopped."}));
}

TEST(PidFileCli, StaleFileIsTakenOverAndKeepsItsPermissions) {
  PidScene setup;
  write_file(setup.pid_file, "4194303\nleft over by a crash\n");
  chmod(setup.pid_file.c_str(), 0644);
  Daemon daemon(kQuorvane, setup.args(), setup.dir);
  ASSERT_TRUE(setup.serving()) << daemon.err();
  EXPECT_EQ(read_file(setup.pid_file), std::to_string(daemon.pid()));
  EXPECT_EQ(mode_of(setup.pid_file), 0644u);
  EXPECT_EQ(lock_holder(setup.pid_file), daemon.pid());
  EXPECT_EQ(daemon.stop(), 0);
}

TEST(PidFileCli, LockHeldElsewhereShowsAtMostFifteenBytes) {
  PidScene setup;
  const std::string contents = "12345678901234567890\n";
  write_file(setup.pid_file, contents);
  // This test process holds the lock; the binary is another process.
  const int descriptor = open(setup.pid_file.c_str(), O_RDWR);
  ASSERT_GE(descriptor, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(descriptor, F_SETLK, &lock), 0);

  const Result result = run_program(kQuorvane, setup.args());
  EXPECT_EQ(result.err, "Program is already running, pid: 123456789012345\n");
  EXPECT_EQ(result.status, 70);
  EXPECT_EQ(read_file(setup.pid_file), contents);
  EXPECT_FALSE(file_exists(setup.log)) << "refused before the log file is opened";
  close(descriptor);
}

struct LinkCase {
  const char *name;
  int (*make)(const char *target, const char *pid_file);
  const char *want_err;  // after "Error, pidfile \"<path>\" "
};

// A link planted at the pid file's path fails the start before anything is
// written through it, and before the socket is made.
TEST(PidFileCli, LinkAtThePidFilePathIsRefused) {
  const std::vector<LinkCase> cases = {
      {"symbolic link", symlink, "is a symbolic link\n"},
      {"hard link", link, "has other hard links (links: 2)\n"},
  };
  for (const LinkCase &c : cases) {
    SCOPED_TRACE(c.name);
    PidScene setup;
    const std::string target = setup.dir / "precious";
    write_file(target, "keep me\n");
    ASSERT_EQ(c.make(target.c_str(), setup.pid_file.c_str()), 0);
    const Result result = run_program(kQuorvane, setup.args());
    EXPECT_EQ(result.err, "Error, pidfile \"" + setup.pid_file + "\" " + c.want_err);
    EXPECT_EQ(result.status, 70);
    EXPECT_EQ(read_file(target), "keep me\n");
    EXPECT_FALSE(file_exists(setup.dir / "milter.sock"));
  }
}

struct ShutdownCase {
  const char *name;
  void (*change)(const PidScene &);  // done while the daemon runs
  bool want_exists;
  bool want_aborting_line;
  std::string want_left;  // contents expected when the file stays
};

void leave_alone(const PidScene &) {}
void rewrite_in_place(const PidScene &s) { write_file(s.pid_file, "rewritten"); }
void delete_file(const PidScene &s) { unlink(s.pid_file.c_str()); }
void replace_file(const PidScene &s) {
  write_file(s.pid_file + ".new", "another");
  rename((s.pid_file + ".new").c_str(), s.pid_file.c_str());
}
void change_mode(const PidScene &s) {
  chmod(s.pid_file.c_str(), 0640);
  write_file(s.pid_file, "mode");
}

TEST(PidFileCli, ShutdownRemovesOnlyTheFileItWrote) {
  const std::vector<ShutdownCase> cases = {
      {"left alone", leave_alone, false, false, ""},
      {"rewritten in place", rewrite_in_place, false, false, ""},
      {"deleted", delete_file, false, true, ""},
      {"replaced by another file", replace_file, true, true, "another"},
      {"permissions changed", change_mode, true, true, "mode"},
  };
  // The daemons run side by side: each takes seconds to notice SIGTERM.
  std::vector<std::unique_ptr<PidScene>> setups;
  std::vector<std::unique_ptr<Daemon>> daemons;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    setups.push_back(std::make_unique<PidScene>());
    daemons.push_back(std::make_unique<Daemon>(kQuorvane, setups[i]->args(), setups[i]->dir));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_TRUE(setups[i]->serving()) << daemons[i]->err();
    cases[i].change(*setups[i]);
    daemons[i]->terminate();
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const PidScene &setup = *setups[i];
    EXPECT_EQ(daemons[i]->stop(), 0);
    EXPECT_EQ(file_exists(setup.pid_file), cases[i].want_exists);
    if (!cases[i].want_left.empty()) {
      EXPECT_EQ(read_file(setup.pid_file), cases[i].want_left);
    }
    std::vector<std::string> want_log = {"Quorvane: Started. Logging to file enabled."};
    if (cases[i].want_aborting_line) want_log.push_back(setup.aborting_line());
    want_log.push_back("Quorvane: Stopped.");
    EXPECT_EQ(log_lines_without_time(setup.log), want_log);
  }
}

TEST(PidFileCli, DetachedDaemonHoldsItsOwnPidFile) {
  PidScene setup;
  Launch launch;
  launch.directory = setup.dir.path();
  // Relative pid and log paths, resolved against the directory it starts in.
  const std::vector<std::string> args = {
      "-b", "-f", "rules.conf", "-p", "unix:" + setup.dir / "milter.sock", "-r", "quorvane.pid", "-l", "quorvane.log"};
  const Result started = run_program(kQuorvane, args, launch);
  ASSERT_EQ(started.status, 0) << started.err;
  EXPECT_EQ(started.err, "");
  EXPECT_EQ(started.out, "");
  ASSERT_TRUE(setup.serving());

  const pid_t daemon = static_cast<pid_t>(std::stol(read_file(setup.pid_file)));
  struct Cleanup {
    pid_t pid;
    ~Cleanup() { kill(pid, SIGKILL); }
  } cleanup{daemon};
  EXPECT_EQ(kill(daemon, 0), 0) << "the file names a running process";
  EXPECT_EQ(getsid(daemon), daemon) << "in a session of its own";
  EXPECT_EQ(lock_holder(setup.pid_file), daemon);
  EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon) + "/cwd"), "/");

  const Result second = run_program(
      kQuorvane, {"-f", "rules.conf", "-p", "unix:" + setup.dir / "second.sock", "-r", "quorvane.pid"}, launch);
  EXPECT_EQ(second.err, "Program is already running, pid: " + std::to_string(daemon) + "\n");
  EXPECT_EQ(second.status, 70);

  terminate_when_idle(daemon);
  EXPECT_TRUE(wait_until([&] { return setup.stopped(); }));
  EXPECT_FALSE(file_exists(setup.pid_file)) << "found again from the root directory";
  EXPECT_EQ(log_lines_without_time(setup.log),
            (std::vector<std::string>{"Quorvane: Started. Logging to file enabled.", "Quorvane: Stopped."}));
}

}  // namespace

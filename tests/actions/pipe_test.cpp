// Pipe: exit statuses, commands that do not read, per-recipient runs,
// envelope addresses that try to reach the shell, the descriptors a command
// gets, and how a command's group is ended at the time limit.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "support/milter_helpers.h"

namespace {

constexpr std::time_t kWhen = 1700000000;

struct Piped {
  int result;
  std::unique_ptr<MessageContext> msg;
};

Piped pipe_to(const Log &log, const std::string &command, const std::vector<std::string> &recipients = {},
              const std::string &body = "Hello\n", const std::string &from = "ann@x") {
  StandaloneAction a(ACTION_PIPE, command);
  Piped p{0, make_message(from, recipients, body)};
  complete_record_size(*p.msg, kWhen);
  p.result = ActionPipe(*a.action, action_env(log, kWhen), *p.msg, select_recipients(*p.msg));
  return p;
}

// "Failure executing program" lines carry whatever errno was; match around it.
bool is_failure_line(const std::string &line, const std::string &command) {
  const std::string head = "<time> Quorvane(ActionPipe): ERROR - Failure executing program '" + command + "'. (errno: ";
  const std::string tail = "). Mail accepted despite error.\n";
  return line.rfind(head, 0) == 0 && line.size() > head.size() + tail.size() &&
         line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Pipe, ExitStatusDecides) {
  TempDir dir;
  struct Case {
    std::string command;
    int want;
  };
  const Case cases[] = {
      {"cat > " + (dir / "out"), 1},
      {"exit 1", 0},
      {"kill -9 $$", 0},
      {"cat > /dev/null; exit 7", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    LogCapture log;
    EXPECT_EQ(pipe_to(log.log, c.command).result, c.want);
    const auto lines = log.lines();
    if (c.want == 1) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_TRUE(is_failure_line(lines[0], c.command)) << lines[0];
    }
  }
  auto msg = make_message("ann@x");
  EXPECT_EQ(read_file(dir / "out"), record_text(*msg, kWhen));
}

// A command that exits without reading a large message: the writes fail,
// the process goes on, and the exit status still decides.
TEST(Pipe, CommandThatDoesNotReadCannotHurtTheFilter) {
  LogCapture log;
  const std::string big(4 << 20, 'x');
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  EXPECT_EQ(pipe_to(log.log, "exit 0", {}, big).result, 1);
  EXPECT_EQ(pipe_to(log.log, "exit 3", {}, big).result, 0);

  sigset_t after, pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &after);
  EXPECT_EQ(sigismember(&after, SIGPIPE), sigismember(&before, SIGPIPE));
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  EXPECT_EQ(log.lines().size(), 1u) << testing::PrintToString(log.lines());
}

TEST(Pipe, EveryMatchedRecipientRunsEvenAfterAFailure) {
  LogCapture log;
  TempDir dir;
  const std::string command = "echo %ALLTO.USER% >> " + (dir / "ran") + "; test %ALLTO.USER% != b";
  Piped p = pipe_to(log.log, command, {"a@x", "b@x", "c@x"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(read_file(dir / "ran"), "a\nb\nc\n");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_TRUE(is_failure_line(lines[0], "echo b >> " + (dir / "ran") + "; test b != b")) << lines[0];

  // No recipient matched: one run with the placeholders empty.
  StandaloneAction a(ACTION_PIPE, "echo x%ALLTO%x >> " + (dir / "none"));
  auto msg = make_message("ann@x", {"a@x"});
  complete_record_size(*msg, kWhen);
  EXPECT_EQ(ActionPipe(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg, {0})), 1);
  EXPECT_EQ(read_file(dir / "none"), "xx\n");
}

// Each recipient's command has a time limit of its own: one that runs past
// it is ended and fails, and the next recipient's command still runs.
TEST(Pipe, EachCommandRunsUnderItsOwnTimeLimit) {
  LogCapture log;
  TempDir dir;
  const std::string command = "echo %ALLTO.USER% >> " + (dir / "ran") + "; test %ALLTO.USER% = b || sleep 1000";
  StandaloneAction a(ACTION_PIPE, command);
  auto msg = make_message("ann@x", {"a@x", "b@x", "c@x"});
  complete_record_size(*msg, kWhen);
  ActionEnv env = action_env(log.log, kWhen);
  env.pipe_time_limit_s = 1;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ActionPipe(*a.action, env, *msg, select_recipients(*msg)), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_EQ(read_file(dir / "ran"), "a\nb\nc\n");
  std::vector<std::string> want;
  for (const char *user : {"a", "c"})
    want.push_back(error_line("ActionPipe",
                              "Program 'echo " + std::string(user) + " >> " + (dir / "ran") + "; test " + user +
                                  " = b || sleep 1000' ended after the time limit of 1 s.",
                              ETIME));
  EXPECT_EQ(log.lines(), want);
}

// A command that cannot be started fails its recipient, and the others are
// still tried, each with its line. Starting is made impossible by leaving no
// descriptor free for the pipe.
TEST(Pipe, CommandThatCannotBeStartedFailsEachRecipient) {
  TempDir dir;
  const std::string log_path = dir / "log";
  const std::string command = "echo %ALLTO.USER% >> " + (dir / "ran");
  const pid_t child = fork();
  if (child == 0) {
    Log log;
    std::FILE *log_file = std::fopen(log_path.c_str(), "w");
    log.set_stream(log_file);
    StandaloneAction a(ACTION_PIPE, command);
    auto msg = make_message("ann@x", {"a@x", "b@x", "c@x"});
    complete_record_size(*msg, kWhen);
    const int lowest_free = dup(0);
    close(lowest_free);
    rlimit limit{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
    const int result = ActionPipe(*a.action, action_env(log, kWhen), *msg, select_recipients(*msg));
    std::fclose(log_file);
    _exit(result + 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);  // failed
  EXPECT_FALSE(file_exists(dir / "ran"));
  std::string want;
  for (const char *user : {"a", "b", "c"})
    want += "Quorvane(ActionPipe): ERROR - Could not open program 'echo " + std::string(user) + " >> " + (dir / "ran") +
            "'. (errno: " + std::to_string(EMFILE) + ":" + std::strerror(EMFILE) + "). Mail accepted despite error.\n";
  std::string log = read_file(log_path);
  std::string without_dates;
  for (std::size_t at = 0; at < log.size();) {
    const std::size_t end = log.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    ASSERT_GT(end - at, 25u);
    without_dates += log.substr(at + 25, end + 1 - at - 25);
    at = end + 1;
  }
  EXPECT_EQ(without_dates, want);
}

// Addresses come from whoever sends the mail: none of them may add a command.
TEST(Pipe, HostileAddressesRunNothing) {
  LogCapture log;
  TempDir dir;
  const std::vector<std::string> recipients = {"a;touch${IFS}pwned1@y", "$(touch pwned2)@y", "`touch pwned3`@y",
                                               "b|touch pwned4@y", "c&&touch pwned5@y", "d>pwned6@y",
                                               "e\ntouch pwned7@y"};
  Piped p = pipe_to(log.log, "cd " + dir.path() + " && echo %ALLTO% %FROM% >> seen", recipients, "Hello\n",
                    "'quoted;touch pwned8'@x");
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"seen"});
  EXPECT_EQ(read_file(dir / "seen"),
            "a_touch__IFS_pwned1@y _quoted_touch_pwned8_@x\n"
            "__touch_pwned2_@y _quoted_touch_pwned8_@x\n"
            "_touch_pwned3_@y _quoted_touch_pwned8_@x\n"
            "b_touch_pwned4@y _quoted_touch_pwned8_@x\n"
            "c__touch_pwned5@y _quoted_touch_pwned8_@x\n"
            "d_pwned6@y _quoted_touch_pwned8_@x\n"
            "e_touch_pwned7@y _quoted_touch_pwned8_@x\n");
  EXPECT_TRUE(log.lines().empty());
}

// An open file description with a write lock on the whole file, the kind
// Store In holds on a mailbox: -1 when it cannot be had at once.
int open_locked(const std::string &path, int cloexec) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | cloexec, 0600);
  struct flock whole{};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fd < 0 || fcntl(fd, F_OFD_SETLK, &whole) == 0) return fd;
  close(fd);
  return -1;
}

// A command gets descriptors 0, 1 and 2 and no other, whatever the process
// has open without close-on-exec: a copy of a locked mailbox's descriptor
// would keep the lock for as long as anything the command leaves behind runs.
TEST(Pipe, CommandGetsOnlyTheStandardDescriptors) {
  TempDir dir;
  const int plain = open("/dev/null", O_RDONLY);
  const int locked = open_locked(dir / "mailbox", 0);
  ASSERT_GE(plain, 0);
  ASSERT_GE(locked, 0);
  LogCapture log;
  // The shell reads the directory for the glob on a descriptor of its own;
  // only the entries still open afterwards are the command's.
  const std::string command = "cat >/dev/null; for f in /proc/$$/fd/*; do [ -e \"$f\" ] && echo \"${f##*/}\" >> " +
                              (dir / "fds") + "; done; true";
  EXPECT_EQ(pipe_to(log.log, command).result, 1);
  close(plain);
  close(locked);
  EXPECT_EQ(read_file(dir / "fds"), "0\n1\n2\n");
}

TEST(Pipe, CommandLeftRunningHoldsNoLock) {
  TempDir dir;
  const std::string mailbox = dir / "mailbox";
  const int locked = open_locked(mailbox, 0);
  ASSERT_GE(locked, 0);
  LogCapture log;
  EXPECT_EQ(pipe_to(log.log, "cat >/dev/null; sleep 30 & echo $! > " + (dir / "left")).result, 1);
  close(locked);
  const int again = open_locked(mailbox, O_CLOEXEC);
  EXPECT_GE(again, 0) << std::strerror(errno);
  if (again >= 0) close(again);
  const std::string left = read_file(dir / "left");
  if (!left.empty()) kill(std::stoi(left), SIGKILL);
}

// At the limit the command's whole group ends, not only the shell: a
// process of it that ignores SIGTERM gets SIGKILL after the grace time,
// also when the shell itself ended at once.
TEST(Pipe, TimeLimitEndsTheWholeGroup) {
  LogCapture log;
  TempDir dir;
  const std::string command =
      "cat >/dev/null; (trap '' TERM; exec sleep 1000) & echo $! > " + (dir / "left") + "; wait";
  StandaloneAction a(ACTION_PIPE, command);
  auto msg = make_message("ann@x");
  complete_record_size(*msg, kWhen);
  ActionEnv env = action_env(log.log, kWhen);
  env.pipe_time_limit_s = 1;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ActionPipe(*a.action, env, *msg, select_recipients(*msg)), 0);
  // The limit and the grace time went by before SIGKILL.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{error_line(
                "ActionPipe", "Program '" + command + "' ended after the time limit of 1 s.", ETIME)});
  // Gone, or a zombie its new parent has not reaped yet.
  const std::string left = read_file(dir / "left");
  ASSERT_FALSE(left.empty());
  const std::string stat = read_file("/proc/" + std::to_string(std::stoi(left)) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
}

}  // namespace

namespace {

// The milter library ignores SIGPIPE for the whole process; a command must
// still start with the default action for it and an empty signal mask, or a
// pipeline inside it would not end when its reader does.
TEST(Pipe, CommandStartsWithDefaultSignals) {
  LogCapture log;
  TempDir dir;
  struct sigaction ignore{}, previous_pipe{}, previous_fsize{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous_pipe);
  sigaction(SIGXFSZ, &ignore, &previous_fsize);
  sigset_t block, previous_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &previous_mask);

  const std::string status = dir / "status";
  // grep's own status: it inherits the shell's mask and ignored signals, and
  // unlike the shell's it is not read while dash blocks every signal to wait.
  EXPECT_EQ(pipe_to(log.log, "cat >/dev/null; grep -E '^Sig(Ign|Blk)' /proc/self/status > " + status).result, 1);
  // A pipeline whose reader stops early ends instead of spinning on EPIPE.
  EXPECT_EQ(pipe_to(log.log, "cat >/dev/null; yes | head -n 1 > " + (dir / "yes")).result, 1);

  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  sigaction(SIGPIPE, &previous_pipe, nullptr);
  sigaction(SIGXFSZ, &previous_fsize, nullptr);

  const std::string lines = read_file(status);
  // Bits 13 (SIGPIPE) and 25 (SIGXFSZ) of the ignored set, 15 (SIGTERM) of the blocked one.
  EXPECT_NE(lines.find("SigBlk:\t0000000000000000"), std::string::npos) << lines;
  const auto ignored_at = lines.find("SigIgn:\t");
  ASSERT_NE(ignored_at, std::string::npos);
  const unsigned long long ignored = std::stoull(lines.substr(ignored_at + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << lines;
  EXPECT_EQ(ignored & (1ULL << (SIGXFSZ - 1)), 0u) << lines;
  EXPECT_EQ(read_file(dir / "yes"), "y\n");
}

}  // namespace

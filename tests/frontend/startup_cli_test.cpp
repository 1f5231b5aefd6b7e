// The command line and start-up of the real binary: messages, statuses,
// the -n listing, the verbose banner, the log file and stopping on SIGTERM.
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

const std::string kQuorvane = QUORVANE_BINARY;

std::string usage_line() {
  return "Usage: quorvane [-abdhnv] [-l logfile] [-m metrics_file] [-r pidfile] [-t timeout] [-T seconds] [-u username] "
         "-f config_file -p port\n";
}

constexpr char kRules[] = "{ Match all } Halt;\n{ Sender is \"Bob\" and ! To ends \"X\" } Halt;\n";
constexpr char kListing[] = "([Always True] )(SMTP Sender is \"Bob\" and (!To Address ends with \"x\"))";
// The second rule follows one that always matches and halts.
constexpr char kWarning[] = "Warning - line 2: rule is never reached, the rule at line 1 always matches and halts\n";

struct Fixture {
  TempDir dir;
  std::string rules = dir / "rules.conf";
  std::string socket = "unix:" + dir / "milter.sock";
  Fixture() { write_file(rules, kRules); }

  // Replaces the placeholders RULES, SOCKET and DIR/ in an argument.
  std::string fill(std::string arg) const {
    if (arg == "RULES") return rules;
    if (arg == "SOCKET") return socket;
    if (arg.rfind("DIR/", 0) == 0) return dir / arg.substr(4);
    return arg;
  }
  std::vector<std::string> fill(const std::vector<std::string> &args) const {
    std::vector<std::string> filled;
    for (const std::string &arg : args) filled.push_back(fill(arg));
    return filled;
  }
};

struct FailureCase {
  const char *name;
  std::vector<std::string> args;
  std::string want_err;  // DIR/ stands for the scratch directory
  int want_status;
  bool needs_root = false;
};

std::string with_dir(std::string text, const TempDir &dir) {
  for (std::size_t at; (at = text.find("DIR/")) != std::string::npos;) text.replace(at, 4, dir.path() + "/");
  return text;
}

TEST(StartupCli, FailuresWriteOneMessageAndTheirStatus) {
  const std::string usage = usage_line();
  const std::vector<FailureCase> cases = {
      {"no arguments", {}, usage + "Missing required argument: -f\n", 64},
      {"empty operand only", {""}, usage + "Missing required argument: -f\n", 64},
      {"-h alone", {"-h"}, usage, 64},
      {"-h with valid options", {"-f", "RULES", "-h", "-p", "SOCKET"}, usage, 64},
      {"unknown option", {"-x", "-f", "RULES"}, "quorvane: invalid option -- 'x'\n" + usage, 64},
      {"option without argument", {"-f"}, "quorvane: option requires an argument -- 'f'\n" + usage, 64},
      {"empty -f", {"-f", ""}, usage + "Missing argument to -f: filename\n", 64},
      {"unreadable rule file before missing -p", {"-f", "DIR/none.conf"},
       "Unable to open config file at \"DIR/none.conf\" (errno: 2:No such file or directory). Aborting.\n", 70},
      {"missing -p after rules load", {"-f", "RULES"}, usage + "Missing required argument: -p\n", 64},
      {"empty -p", {"-f", "RULES", "-p", ""}, usage + "Missing argument to -p: port\n", 64},
      {"empty -t before -p", {"-f", "RULES", "-t", ""}, usage + "Missing argument to -t: timeout\n", 64},
      {"empty -T before -p", {"-f", "RULES", "-T", ""}, usage + "Missing argument to -T: seconds\n", 64},
      {"-T with a unit", {"-f", "RULES", "-T", "5s", "-p", "SOCKET"}, usage + "Invalid argument to -T: 5s\n", 64},
      {"negative -T", {"-f", "RULES", "-T", "-1", "-p", "SOCKET"}, usage + "Invalid argument to -T: -1\n", 64},
      {"-T with a blank", {"-f", "RULES", "-T", " 5", "-p", "SOCKET"}, usage + "Invalid argument to -T:  5\n", 64},
      {"-T beyond an int", {"-f", "RULES", "-T", "2147483648", "-p", "SOCKET"},
       usage + "Invalid argument to -T: 2147483648\n", 64},
      {"unusable connection", {"-f", "RULES", "-p", "bogus:place"}, "Unable to open port: bogus:place\n", 70},
      {"empty -r", {"-f", "RULES", "-p", "SOCKET", "-r", ""}, usage + "Missing argument to -r: pidfile\n", 64},
      {"pid file in a missing directory", {"-f", "RULES", "-p", "SOCKET", "-r", "DIR/no/pid"},
       "Unable to write pid to: DIR/no/pid (errno: 2:No such file or directory)\n", 70},
      {"pid file is a directory", {"-f", "RULES", "-p", "SOCKET", "-r", "DIR/"},
       "Unable to write pid to: DIR/ (errno: 21:Is a directory)\n", 70},
      {"pid file is a device", {"-f", "RULES", "-p", "SOCKET", "-r", "/dev/null"},
       "Error, pidfile \"/dev/null\" is not a regular file\n", 70},
      {"empty -l", {"-f", "RULES", "-p", "SOCKET", "-l", ""}, usage + "Missing argument to -l: logfile\n", 64},
      {"empty -m", {"-f", "RULES", "-p", "SOCKET", "-m", ""}, usage + "Missing argument to -m: metrics_file\n", 64},
      {"log file in a missing directory", {"-f", "RULES", "-p", "SOCKET", "-l", "DIR/no/log"},
       "Unable to open log file: DIR/no/log (errno: 2:No such file or directory)\n", 70},
      {"detached: log failure still reaches the terminal", {"-b", "-f", "RULES", "-p", "SOCKET", "-l", "DIR/no/log"},
       "Unable to open log file: DIR/no/log (errno: 2:No such file or directory)\n", 70},
      {"detached: empty -r", {"-b", "-f", "RULES", "-p", "SOCKET", "-r", ""},
       usage + "Missing argument to -r: pidfile\n", 64},
      {"empty -u", {"-u", "", "-f", "RULES"}, usage + "Missing argument to -u: username\n", 64, true},
      {"unknown user before -f", {"-u", "no-such-user-here"},
       "Unable to switch user to: no-such-user-here - No such user\n", 64, true},
  };
  for (const FailureCase &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needs_root && !running_as_root()) continue;
    Fixture fixture;
    const Result result = run_program(kQuorvane, fixture.fill(c.args));
    EXPECT_EQ(result.err, with_dir(c.want_err, fixture.dir));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, c.want_status);
  }
}

TEST(StartupCli, OnlyRootMaySwitchUser) {
  if (!running_as_root()) {
    const Result result = run_program(kQuorvane, {"-u", "nobody", "-f", "/nonexistent"});
    EXPECT_EQ(result.err, "You must be root to use the: -u option\n");
    EXPECT_EQ(result.status, 64);
    return;
  }
  Launch launch;
  launch.as_nobody = true;
  const Result result = run_program(kQuorvane, {"-u", "nobody", "-f", "/nonexistent", "-p", ""}, launch);
  EXPECT_EQ(result.err, "You must be root to use the: -u option\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.status, 64);
}

TEST(StartupCli, SwitchedUserReadsTheRuleFileAsThatUser) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  Fixture fixture;
  chmod(fixture.rules.c_str(), 0600);  // root's alone: nobody cannot read it
  const Result result = run_program(kQuorvane, {"-u", "nobody", "-n", "-f", fixture.rules});
  EXPECT_EQ(result.err,
            "Unable to open config file at \"" + fixture.rules + "\" (errno: 13:Permission denied). Aborting.\n");
  EXPECT_EQ(result.status, 70);
}

// One field of /proc/<pid>/status, e.g. "Groups", without its tabs.
std::string status_field(pid_t pid, const std::string &name) {
  std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) != 0) continue;
    std::string value = line.substr(name.size() + 1);
    for (char &ch : value)
      if (ch == '\t') ch = ' ';
    const auto first = value.find_first_not_of(' ');
    const auto last = value.find_last_not_of(' ');
    return first == std::string::npos ? "" : value.substr(first, last - first + 1);
  }
  return "?";
}

TEST(StartupCli, SwitchedUserServesWithThatUsersGroupsOnly) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  const passwd *nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  Fixture fixture;
  chmod(fixture.dir.path().c_str(), 0777);  // nobody makes the socket here
  Launch launch;
  launch.in_root_group = true;  // root's groups must not be kept
  Daemon daemon(kQuorvane, {"-u", "nobody", "-f", fixture.rules, "-p", fixture.socket}, fixture.dir, launch);
  ASSERT_TRUE(wait_serving(fixture.socket)) << daemon.err();

  int count = 0;
  getgrouplist("nobody", nobody->pw_gid, nullptr, &count);
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  getgrouplist("nobody", nobody->pw_gid, groups.data(), &count);
  std::string want_groups;
  for (gid_t group : groups) want_groups += (want_groups.empty() ? "" : " ") + std::to_string(group);
  const std::string uid = std::to_string(nobody->pw_uid);
  const std::string gid = std::to_string(nobody->pw_gid);
  EXPECT_EQ(status_field(daemon.pid(), "Uid"), uid + " " + uid + " " + uid + " " + uid);
  EXPECT_EQ(status_field(daemon.pid(), "Gid"), gid + " " + gid + " " + gid + " " + gid);
  EXPECT_EQ(status_field(daemon.pid(), "Groups"), want_groups);
  EXPECT_EQ(daemon.stop(), 0);
}

struct ListingCase {
  const char *name;
  std::vector<std::string> args;
  std::string want_out;
  std::string want_err = kWarning;
};

TEST(StartupCli, ListingNeedsNoConnection) {
  const std::string banner1 = "Quorvane Version 1.2 started. Running with verbose level 1.\n";
  const std::string compiled = "- Compiled with libmilter v1.0.1, running with v1.0.1\n\n";
  const std::vector<ListingCase> cases = {
      {"-n without -p", {"-n", "-f", "RULES"}, kListing},
      {"stray operand ignored", {"-n", "-f", "RULES", "stray"}, kListing},
      {"banner at -v", {"-v", "-n", "-f", "RULES"}, banner1 + kListing},
      {"banner at -v -v", {"-v", "-v", "-n", "-f", "RULES"},
       "Quorvane Version 1.2 started. Running with verbose level 2.\n" + compiled + kListing},
      {"banner at -v -v -v", {"-vvv", "-n", "-f", "RULES"},
       "Quorvane Version 1.2 started. Running with verbose level 3.\n" + compiled + kListing},
      {"last -f counts", {"-n", "-f", "DIR/none.conf", "-f", "RULES"}, kListing},
      {"empty rule file", {"-n", "-f", "DIR/empty.conf"}, "", ""},
  };
  for (const ListingCase &c : cases) {
    SCOPED_TRACE(c.name);
    Fixture fixture;
    write_file(fixture.dir / "empty.conf", "");
    const Result result = run_program(kQuorvane, fixture.fill(c.args));
    EXPECT_EQ(result.out, c.want_out);
    EXPECT_EQ(result.err, c.want_err);
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(file_exists(fixture.dir / "milter.sock"));
  }
}

// A rule file with a warning of each kind, and one close to it with none.
// -n lists it as ever, writes the warnings on standard error and ends with
// status 0; the daemon writes them at start-up only with -v.
constexpr char kWarnedRules[] =
    "# archive\n"
    "{ Match all } Store In \"/srv/archive/%TO.DOMAIN%\";\n"
    "{ !(To is b@x) } Pipe \"deliver %ALLTO%\";\n"
    "{ Match all }\n  Add Header \"X-Flag yes\", Store In /srv/, Halt;\n"
    "{ From is x } Store In /srv/x;\n";
constexpr char kWarnedListing[] =
    "([Always True] )(!(To Address is \"b@x\"))([Always True] )(From Address is \"x\")";
constexpr char kWarnings[] =
    "Warning - line 2: %TO.DOMAIN% is always empty, the rule has no To test\n"
    "Warning - line 2: Store In path names a directory when %TO.DOMAIN% is empty\n"
    "Warning - line 3: %ALLTO% is always empty, the rule's To tests select no recipient when it matches\n"
    "Warning - line 4: Add Header text has no \":\", the whole text is taken as the header name\n"
    "Warning - line 4: Store In path ends in \"/\" and names a directory\n"
    "Warning - line 6: rule is never reached, the rule at line 4 always matches and halts\n";
constexpr char kCloseRules[] =
    "# archive\n"
    "{ To ends \"@example.org\" } Store In \"/srv/archive/%TO.DOMAIN%\";\n"
    "{ ! To is b@x } Pipe \"deliver %ALLTO%\";\n"
    "{ From is y }\n  Add Header \"X-Flag: yes\", Store In /srv/all, Halt;\n"
    "{ From is x } Store In /srv/x;\n";

TEST(StartupCli, ListingWarnsOnStandardErrorOnly) {
  const std::string banner = "Quorvane Version 1.2 started. Running with verbose level 1.\n";
  const std::vector<ListingCase> cases = {
      {"-n", {"-n", "-f", "DIR/warned.conf"}, kWarnedListing, kWarnings},
      {"-v -n", {"-v", "-n", "-f", "DIR/warned.conf"}, banner + kWarnedListing, kWarnings},
      {"close to each warning", {"-n", "-f", "DIR/close.conf"},
       "(To Address ends with \"@example.org\")(!To Address is \"b@x\")(From Address is \"y\")"
       "(From Address is \"x\")",
       ""},
  };
  for (const ListingCase &c : cases) {
    SCOPED_TRACE(c.name);
    Fixture fixture;
    write_file(fixture.dir / "warned.conf", kWarnedRules);
    write_file(fixture.dir / "close.conf", kCloseRules);
    const Result result = run_program(kQuorvane, fixture.fill(c.args));
    EXPECT_EQ(result.out, c.want_out);
    EXPECT_EQ(result.err, c.want_err);
    EXPECT_EQ(result.status, 0);
  }
}

TEST(StartupCli, DaemonWarnsAtStartUpOnlyWhenVerbose) {
  for (const bool verbose : {false, true}) {
    SCOPED_TRACE(verbose ? "-v" : "quiet");
    Fixture fixture;
    write_file(fixture.rules, kWarnedRules);
    std::vector<std::string> args = {"-f", fixture.rules, "-p", fixture.socket};
    if (verbose) args.insert(args.begin(), "-v");
    Daemon daemon(kQuorvane, args, fixture.dir);
    // Written before the socket is opened: there once the daemon serves.
    ASSERT_TRUE(wait_serving(fixture.socket)) << daemon.err();
    EXPECT_EQ(daemon.err(), verbose ? kWarnings : "");
  }
}

// Leaves a socket file at `path` with nobody listening, as a crash would.
void leave_stale_socket(const std::string &path) {
  const int descriptor = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  close(descriptor);
}

TEST(StartupCli, WithDashDAStaleSocketFileIsKept) {
  Fixture fixture;
  leave_stale_socket(fixture.dir / "milter.sock");
  const Result result = run_program(kQuorvane, {"-d", "-f", fixture.rules, "-p", fixture.socket});
  EXPECT_EQ(result.err, "Unable to open port: " + fixture.socket + "\n");
  EXPECT_EQ(result.status, 70);
}

TEST(StartupCli, ServesUntilTerminatedAndLogsStartAndStop) {
  Fixture fixture;
  leave_stale_socket(fixture.dir / "milter.sock");  // removed first without -d
  const std::string log = fixture.dir / "quorvane.log";
  write_file(log, "earlier line\n");
  // -t with a text that is not a number is a timeout of 0, not an error;
  // -T 0 is no Pipe time limit.
  Daemon daemon(kQuorvane, {"-t", "abc", "-T", "0", "-f", fixture.rules, "-p", fixture.socket, "-l", log},
                fixture.dir);
  // Waiting while it runs also shows the file is line-buffered: the start
  // line is there at once, not only when the file is closed.
  ASSERT_TRUE(wait_until([&] { return log_has(log, "Quorvane: Started. Logging to file enabled."); })) << daemon.err();
  ASSERT_TRUE(wait_serving(fixture.socket));
  EXPECT_TRUE(daemon.running());

  EXPECT_EQ(daemon.stop(), 0);
  const std::string text = read_file(log);
  ASSERT_EQ(text.rfind("earlier line\n", 0), 0u) << "appended, not truncated";
  EXPECT_EQ(
      log_lines_without_time(log),
      (std::vector<std::string>{"earlier line", "Quorvane: Started. Logging to file enabled.", "Quorvane: Stopped."}));
  // Each line begins with the ctime text of its moment.
  const std::string started = text.substr(std::string("earlier line\n").size(), 25);
  EXPECT_EQ(started[3], ' ');
  EXPECT_EQ(started[7], ' ');
  EXPECT_EQ(started[13], ':');
  EXPECT_EQ(started[24], ' ');
  EXPECT_EQ(daemon.err(), "");
}

// The log names senders and recipients: a new file is 0640 whatever the
// umask lets through, an existing one keeps the mode it was given.
TEST(StartupCli, LogFileIsNotWorldReadable) {
  const mode_t mask = umask(0);  // inherited by the daemon
  Fixture fixture;
  const std::string made = fixture.dir / "new.log";
  const std::string kept = fixture.dir / "kept.log";
  write_file(kept, "");
  chmod(kept.c_str(), 0604);
  for (const std::string &log : {made, kept}) {
    Daemon daemon(kQuorvane, {"-f", fixture.rules, "-p", fixture.socket, "-l", log}, fixture.dir);
    EXPECT_TRUE(wait_until([&] { return log_has(log, "Quorvane: Started. Logging to file enabled."); }))
        << daemon.err();
    EXPECT_EQ(daemon.stop(), 0);
  }
  umask(mask);
  struct stat status {};
  ASSERT_EQ(stat(made.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  ASSERT_EQ(stat(kept.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0604u);
}

}  // namespace

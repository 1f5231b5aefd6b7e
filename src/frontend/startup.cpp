// Command line, start-up order and shutdown of the daemon.
#include "frontend/startup.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sysexits.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <memory>
#include <new>
#include <string>

#include "base/fatal.h"
#include "base/log.h"
#include "base/settings.h"
#include "frontend/absolute_path.h"
#include "frontend/control_thread.h"
#include "frontend/metrics_file.h"
#include "frontend/pid_file.h"
#include "frontend/reload.h"
#include "frontend/socket_options.h"
#include "milter/filter.h"
#include "milter/library.h"
#include "rules/lint.h"
#include "rules/listing.h"
#include "rules/parser.h"
#include "rules/rule.h"

namespace {

constexpr char kVersion[] = "1.2";
// The milter interface version the filter is built against (and registers).
constexpr int kBuiltMajor = 1;
constexpr int kBuiltMinor = 0;
constexpr int kBuiltPatch = 1;

// Each option's argument, null when the option was not given.
struct Options {
  const char *config_file = nullptr;   // -f
  const char *log_file = nullptr;      // -l
  const char *metrics_file = nullptr;  // -m
  char *port = nullptr;                // -p (smfi_setconn takes it unconst)
  const char *pid_file = nullptr;      // -r
  const char *timeout = nullptr;       // -t
  const char *time_limit = nullptr;    // -T
  const char *user = nullptr;          // -u
  bool detach = false;                 // -b
  bool list_only = false;              // -n
  bool remove_socket = true;           // cleared by -d
  Settings settings;                   // -a, -v (-T is read later, see read_time_limit)
  const char *program_name = "quorvane";
};

// A usage error: the usage line, then the message, status 64.
[[noreturn]] void fail_usage(const Options &options, const char *message) noexcept {
  fail_start(EX_USAGE,
             "Usage: %s [-abdhnv] [-l logfile] [-m metrics_file] [-r pidfile] [-t timeout] [-T seconds] "
             "[-u username] -f config_file -p port\n%s",
             options.program_name, message);
}

Options read_options(int argc, char **argv) noexcept {
  Options options;
  if (argc > 0 && argv[0] != nullptr) options.program_name = argv[0];
  int option;
  while ((option = getopt(argc, argv, "abdf:hl:m:np:r:t:T:u:v")) != -1) {
    switch (option) {
      case 'a': options.settings.accept_on_error = false; break;
      case 'b': options.detach = true; break;
      case 'd': options.remove_socket = false; break;
      case 'f': options.config_file = optarg; break;
      case 'l': options.log_file = optarg; break;
      case 'm': options.metrics_file = optarg; break;
      case 'n': options.list_only = true; break;
      case 'p': options.port = optarg; break;
      case 'r': options.pid_file = optarg; break;
      case 't': options.timeout = optarg; break;
      case 'T': options.time_limit = optarg; break;
      case 'u': options.user = optarg; break;
      case 'v': ++options.settings.verbose_level; break;
      default:  // -h, and "?" for an unknown option or a missing argument
        fail_usage(options, "");
    }
  }
  return options;
}

void print_banner(int verbose_level) noexcept {
  std::printf("Quorvane Version %s started. ", kVersion);
  std::printf("Running with verbose level %d.\n", verbose_level);
  if (verbose_level < 2) return;
  std::printf("- %s", "Compiled with libmilter v");
  std::printf("%d.", kBuiltMajor);
  std::printf("%d.", kBuiltMinor);
  std::printf("%d,", kBuiltPatch);
  unsigned int major = 0, minor = 0, patch = 0;
  milter_library_version(major, minor, patch);
  std::printf(" %s", "running with v");
  std::printf("%u.", major);
  std::printf("%u.", minor);
  std::printf("%u\n\n", patch);
}

void switch_user(const Options &options) noexcept {
  const char *name = options.user;
  if (getuid() != 0) fail_start(EX_USAGE, "You must be root to use the: -u option\n");
  if (*name == '\0') fail_usage(options, "Missing argument to -u: username\n");
  const passwd *entry = getpwnam(name);
  if (entry == nullptr) fail_start(EX_USAGE, "Unable to switch user to: %s - No such user\n", name);
  const uid_t uid = entry->pw_uid;
  const gid_t gid = entry->pw_gid;
  // The user's own supplementary groups replace root's: keeping root's list
  // would leave the filter with the access of every group root belongs to.
  if (initgroups(name, gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
    const SystemError error = last_error();
    fail_start(EX_SOFTWARE, "Unable to switch uid/gid to: %s (errno: %d:%s)\n", name, error.number, error.text);
  }
}

// The rule file (-f), or the process ends with the parser's message.
std::shared_ptr<const RuleSet> load_rules(const Options &options) noexcept {
  const char *path = options.config_file;
  if (path == nullptr) fail_usage(options, "Missing required argument: -f\n");
  if (*path == '\0') fail_usage(options, "Missing argument to -f: filename\n");
  std::shared_ptr<RuleSet> set(new (std::nothrow) RuleSet());
  if (!set) fail_start(EX_SOFTWARE, "Unable to allocate memory while reading the config file.\n");
  std::string error;
  if (!load_rule_file(path, *set, stderr, error)) fail_start(EX_SOFTWARE, "%s", error.c_str());
  return set;
}

void set_timeout(const Options &options) noexcept {
  const char *text = options.timeout;
  if (*text == '\0') fail_usage(options, "Missing argument to -t: timeout\n");
  if (!milter_set_timeout(std::atoi(text)))
    fail_start(EX_SOFTWARE, "Unable to set timeout to: %s\n", text);
}

// The Pipe time limit (-T): a whole number of seconds, 0 for none.
int read_time_limit(const Options &options) noexcept {
  const char *text = options.time_limit;
  if (*text == '\0') fail_usage(options, "Missing argument to -T: seconds\n");
  int seconds = 0;
  for (const char *digit = text; *digit != '\0'; ++digit) {
    const int value = *digit - '0';
    if (value < 0 || value > 9 || seconds > (INT_MAX - value) / 10) {
      char message[256];
      std::snprintf(message, sizeof message, "Invalid argument to -T: %.200s\n", text);
      fail_usage(options, message);
    }
    seconds = seconds * 10 + value;
  }
  return seconds;
}

// The connection (-p), checked and handed to the milter library, which
// touches no socket before smfi_opensocket.
void set_connection(const Options &options) noexcept {
  char *port = options.port;
  if (port == nullptr) fail_usage(options, "Missing required argument: -p\n");
  if (*port == '\0') fail_usage(options, "Missing argument to -p: port\n");
  if (!milter_set_connection(port)) fail_start(EX_SOFTWARE, "Unable to set port to: %s\n", port);
}

// The file of a unix-domain connection ("unix:", "local:" or a bare path, as
// the milter library reads them), or null for a TCP one.
const char *unix_socket_path(const char *port) noexcept {
  if (std::strncmp(port, "unix:", 5) == 0) return port + 5;
  if (std::strncmp(port, "local:", 6) == 0) return port + 6;
  return std::strchr(port, ':') == nullptr ? port : nullptr;
}

// Whether a process accepts connections on the unix socket at `path`. A
// connection taken, or waiting in a full backlog (EAGAIN), means a filter
// serves it; refused means a socket file left behind by one that is gone.
// Anything else (no file, a path too long) is for smfi_opensocket to report.
bool socket_in_use(const char *path) noexcept {
  sockaddr_un address{};
  if (std::strlen(path) >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, std::strlen(path));
  // Non-blocking: a serving filter with a full backlog must not hang the start.
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  int result;
  do result = connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address);
  while (result < 0 && errno == EINTR);
  const bool in_use = result == 0 || errno == EAGAIN;
  close(probe);
  return in_use;
}

// A socket that cannot be served: the pid file taken for it goes first, so a
// failed start leaves none naming a process that is gone.
[[noreturn]] void fail_socket(const char *port, bool in_use, PidFile &pid_file, const Log &log) noexcept {
  pid_file.release(log);
  if (in_use) fail_start(EX_SOFTWARE, "Unable to open port: %s - Socket in use by a running filter\n", port);
  fail_start(EX_SOFTWARE, "Unable to open port: %s\n", port);
}

// Opens the listening socket, after the pid file: a second instance named
// by the pid file is refused before it can touch the socket, and the socket
// of a filter serving on it is never removed, whatever -d says.
void open_socket(const Options &options, PidFile &pid_file, const Log &log) noexcept {
  char *port = options.port;
  const char *path = unix_socket_path(port);
  if (path != nullptr && socket_in_use(path)) fail_socket(port, true, pid_file, log);
  if (!milter_open_socket(options.remove_socket)) fail_socket(port, false, pid_file, log);
  if (is_tcp_connection(port)) set_listener_nodelay();
}

[[noreturn]] void fail_detaching() noexcept {
  const SystemError error = last_error();
  fail_start(EX_SOFTWARE, "Unable to daemonise process. (errno: %d:%s)\n", error.number, error.text);
}

// The process that started the program: waits for the detached process to be
// ready (status 0) or to fail (its status; its message is already written).
[[noreturn]] void wait_for_detached(pid_t child, int ready) noexcept {
  char byte = 0;
  ssize_t count;
  do count = read(ready, &byte, 1);
  while (count < 0 && errno == EINTR);
  if (count == 1) _exit(0);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) _exit(EX_SOFTWARE);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : EX_SOFTWARE);
}

// First half of detaching (-b), before the pid file: the rest of start-up
// goes on in a child in a new session, so the pid file names the process that
// serves, and its lock (record locks are not inherited) is that process's own.
// Returns in the child with the write end of the readiness pipe.
int start_detaching() noexcept {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) fail_detaching();
  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t child = fork();
  if (child < 0) fail_detaching();
  if (child > 0) {
    close(ready[1]);
    wait_for_detached(child, ready[0]);
  }
  close(ready[0]);
  if (setsid() < 0) fail_detaching();
  return ready[1];
}

// Second half, after the log file is open: leave the working directory and
// the terminal, then tell the waiting process that start-up succeeded.
void finish_detaching(int ready) noexcept {
  if (chdir("/") != 0) fail_detaching();
  const int null_device = open("/dev/null", O_RDWR | O_CLOEXEC);  // dup2 gives 0-2 without the flag
  if (null_device < 0) fail_detaching();
  std::fflush(nullptr);
  if (dup2(null_device, STDIN_FILENO) < 0 || dup2(null_device, STDOUT_FILENO) < 0) fail_detaching();
  if (dup2(null_device, STDERR_FILENO) < 0) fail_detaching();
  if (null_device > STDERR_FILENO) close(null_device);
  const char byte = 1;
  ssize_t count;
  do count = write(ready, &byte, 1);
  while (count < 0 && errno == EINTR);
  close(ready);
}

// Points the log at standard error or at the log file (-l).
void open_log(const Options &options, Log &log) noexcept {
  const char *path = options.log_file;
  if (path == nullptr) return;
  if (*path == '\0') fail_usage(options, "Missing argument to -l: logfile\n");
  // Made 0640, not fopen's 0666: the log names senders and recipients, which
  // are no business of every local user. An existing file keeps its mode.
  // Close-on-exec, so commands run by Pipe actions do not inherit it.
  const int descriptor = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0640);
  std::FILE *file = descriptor < 0 ? nullptr : fdopen(descriptor, "a");
  if (file == nullptr) {
    const SystemError error = last_error();
    if (descriptor >= 0) close(descriptor);
    fail_start(EX_SOFTWARE, "Unable to open log file: %s (errno: %d:%s)\n", path, error.number, error.text);
  }
  // Line-buffered: each line reaches the file when it is written.
  setvbuf(file, nullptr, _IOLBF, BUFSIZ);
  log.set_stream(file);
  log.lifecycle("Started. Logging to file enabled.");
}

constexpr int kDispatchDrainMs = 60 * 1000;

// What serves mail: the log and the filter with its rules, and the thread
// that reloads them and writes the metrics. Never freed: connection threads
// may call the filter until the process ends (see shut_down).
struct Daemon {
  explicit Daemon(const Settings &settings, std::shared_ptr<const RuleSet> rules) noexcept
      : log(settings.accept_on_error),
        filter(settings, log, std::move(rules)),
        control(filter, reloads, metrics, kVersion) {
    reloads.loaded_at = std::time(nullptr);
  }
  Log log;
  Filter filter;
  PidFile pid_file;
  ReloadStats reloads;
  MetricsFile metrics;
  ControlThread control;
};

// The metrics file (-m), made absolute before -b leaves the directory.
void set_metrics_file(const Options &options, MetricsFile &metrics) noexcept {
  const char *path = options.metrics_file;
  if (path == nullptr) return;
  if (*path == '\0') fail_usage(options, "Missing argument to -m: metrics_file\n");
  const std::unique_ptr<char[]> located = absolute_path(path);
  if (!located || !metrics.set_path(located.get()))
    fail_start(EX_SOFTWARE, "Unable to allocate memory while reading the config file.\n");
}

// Starts the reload thread, which reads the rule file again from `rule_path`.
void start_control(ControlThread &control, const char *rule_path) noexcept {
  if (control.start(rule_path)) return;
  const SystemError error = last_error();
  fail_start(EX_SOFTWARE, "Unable to start the reload thread (errno: %d:%s)\n", error.number, error.text);
}

int shut_down(const Options &options, std::unique_ptr<Daemon> daemon, int result, int loop_errno) noexcept {
  // No reload from here on.
  daemon->control.stop();
  // Messages still running their rules finish first: their records are
  // written whole and the rules are not released under them. One that does
  // not finish in time keeps everything it uses to the end of the process.
  daemon->filter.close_dispatch(kDispatchDrainMs);
  Log &log = daemon->log;
  daemon->metrics.update(daemon->filter, daemon->reloads, kVersion);
  daemon->pid_file.release(log);
  if (result != 0)
    log.lifecycle("Exiting with error, this usually means there was a problem with the socket (errno: %d:%s)",
                  loop_errno, std::strerror(loop_errno));
  if (options.log_file != nullptr) {
    std::FILE *file = log.output();
    log.lifecycle("Stopped.");
    log.set_stream(nullptr);  // anything logged late goes to standard error
    std::fclose(file);
  }
  // The filter stays installed, and all it uses alive, to the end of the
  // process. smfi_main does not wait for the connection threads: each sees
  // the stop only at its MTA's next command, so a callback can still run
  // after the loop has returned, and must find the filter, not null or freed
  // memory. An end of message then finds the dispatch closed and is refused
  // for now; one still running its rules (not drained) keeps them.
  static_cast<void>(daemon.release());
  return result;
}

}  // namespace

int run_daemon(int argc, char **argv) noexcept {
  const Options options = read_options(argc, argv);
  const Settings &settings = options.settings;
  // Before any other thread exists, so that every thread inherits it: a
  // reload asked for at any time waits for the reload thread.
  block_reload_signal();
  // The trace is read as it happens: one line per rule and message.
  if (settings.verbose_level >= 1) setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  if (settings.verbose_level >= 1) print_banner(settings.verbose_level);
  if (options.user != nullptr) switch_user(options);
  std::shared_ptr<const RuleSet> rules = load_rules(options);
  // What the rules cannot do: always when checking them, else only with -v.
  if (options.list_only || settings.verbose_level >= 1) warn_rules(rules->rules, stderr);
  if (options.list_only) {
    print_rules(stdout, rules->rules);
    std::exit(0);
  }
  // Reloads read the same file after -b has changed the directory.
  const std::unique_ptr<char[]> rule_path = absolute_path(options.config_file);
  if (!rule_path) fail_start(EX_SOFTWARE, "Unable to allocate memory while reading the config file.\n");
  if (options.timeout != nullptr) set_timeout(options);
  Settings serving = settings;
  if (options.time_limit != nullptr) serving.pipe_time_limit_s = read_time_limit(options);
  std::unique_ptr<Daemon> daemon(new (std::nothrow) Daemon(serving, std::move(rules)));
  if (!daemon) fail_start(EX_SOFTWARE, "Unable to allocate memory while reading the config file.\n");
  install_filter(&daemon->filter);
  if (!milter_register_filter()) fail_start(EX_UNAVAILABLE, "Unable to register with MTA\n");
  set_connection(options);

  const int ready = options.detach ? start_detaching() : -1;
  if (options.pid_file != nullptr) {
    if (*options.pid_file == '\0') fail_usage(options, "Missing argument to -r: pidfile\n");
    daemon->pid_file.acquire(options.pid_file);
  }
  open_socket(options, daemon->pid_file, daemon->log);
  open_log(options, daemon->log);
  set_metrics_file(options, daemon->metrics);
  start_control(daemon->control, rule_path.get());
  if (options.detach) finish_detaching(ready);

  // A mailbox that reaches the file size limit must fail that one write
  // (EFBIG, which Store In undoes and logs), not end the whole filter.
  std::signal(SIGXFSZ, SIG_IGN);
  const int result = milter_main();
  const int loop_errno = errno;
  return shut_down(options, std::move(daemon), result, loop_errno);
}

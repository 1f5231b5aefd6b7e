// Store In: creating and appending, failures and their lines, per-recipient
// files, waiting for another process's lock (one limit for queued appends, a
// mailbox renamed over meanwhile), undoing a failed write, hostile envelope
// addresses, links planted at their names, and many threads appending to
// one file.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "actions/actions.h"
#include "actions/file_lock.h"
#include "support/milter_helpers.h"
#include "support/process.h"

namespace {

constexpr std::time_t kWhen = 1700000000;

struct Stored {
  int result;
  std::unique_ptr<MessageContext> msg;
};

// Runs a Store In of `path_template` for a message from `from` with the given
// (matched) recipients.
Stored store(const ActionEnv &env, const std::string &path_template, const std::string &from = "ann@x",
             const std::vector<std::string> &recipients = {}, const std::string &body = "Hello\n") {
  StandaloneAction a(ACTION_STORE_IN, path_template);
  Stored s{0, make_message(from, recipients, body)};
  complete_record_size(*s.msg, kWhen);
  s.result = ActionStoreIn(*a.action, env, *s.msg, select_recipients(*s.msg));
  return s;
}

std::string record_for(const std::string &from = "ann@x", const std::string &body = "Hello\n") {
  auto msg = make_message(from, {}, body);
  return record_text(*msg, kWhen);
}

TEST(StoreIn, CreatesWithItsModeAndAppendsAfterWhatIsThere) {
  LogCapture log;
  TempDir dir;
  const mode_t old_umask = umask(0);
  Stored first = store(action_env(log.log, kWhen), dir / "new");
  umask(old_umask);
  EXPECT_EQ(first.result, 1);
  struct stat info {};
  ASSERT_EQ(stat((dir / "new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0620u);
  EXPECT_EQ(read_file(dir / "new"), record_for());
  EXPECT_EQ(static_cast<std::int64_t>(record_for().size()), first.msg->record_size);

  {
    std::FILE *f = std::fopen((dir / "old").c_str(), "w");
    std::fputs("earlier contents\n", f);
    std::fclose(f);
  }
  EXPECT_EQ(store(action_env(log.log, kWhen), dir / "old").result, 1);
  EXPECT_EQ(store(action_env(log.log, kWhen), dir / "old", "bob@y").result, 1);
  EXPECT_EQ(read_file(dir / "old"), "earlier contents\n" + record_for() + record_for("bob@y"));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(file_lock_entries(), 0u);
}

// A device has nothing to sync: a Store In to one succeeds as a write does.
TEST(StoreIn, DevicesAreWrittenWithoutASync) {
  LogCapture log;
  EXPECT_EQ(store(action_env(log.log, kWhen), "/dev/null").result, 1);
  EXPECT_TRUE(log.lines().empty());
}

TEST(StoreIn, PathsThatCannotBeOpened) {
  TempDir dir;
  struct Case {
    std::string path;
    int error;
  };
  const Case cases[] = {
      {dir / "missing/mbox", ENOENT},
      {dir.path(), EISDIR},
  };
  for (int accept : {1, 0}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.path);
      LogCapture log(accept);
      EXPECT_EQ(store(action_env(log.log, kWhen), c.path).result, 0);
      EXPECT_EQ(log.lines(),
                std::vector<std::string>{error_line("mlfi_eom", "Could not open file '" + c.path + "'.", c.error, accept)});
    }
  }
  EXPECT_FALSE(file_exists(dir / "missing"));
}

TEST(StoreIn, OneRecordPerMatchedRecipient) {
  LogCapture log;
  TempDir dir;
  const Trace trace{stdout, 1};
  testing::internal::CaptureStdout();
  Stored s = store(action_env(log.log, kWhen, trace), dir / "%ALLTO.USER%", "ann@x", {"a@d", "b@d", "c@d"});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), (dir / "a") + ", " + (dir / "b") + ", " + (dir / "c") + ", ");
  EXPECT_EQ(s.result, 1);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "b", "c"}));
  for (const char *name : {"a", "b", "c"}) EXPECT_EQ(read_file(dir / name), record_for());

  // Two recipients naming one file append to it twice; unmatched ones get nothing.
  StandaloneAction a(ACTION_STORE_IN, dir / "%ALLTO.DOMAIN%");
  auto msg = make_message("ann@x", {"a@same", "b@skipped", "c@same"});
  complete_record_size(*msg, kWhen);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ActionStoreIn(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg, {1})), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(read_file(dir / "same"), record_for() + record_for());
  EXPECT_FALSE(file_exists(dir / "skipped"));
  EXPECT_TRUE(log.lines().empty());
}

// A placeholder that gives nothing where a name starts would store
// elsewhere than the rule says: nothing is written.
TEST(StoreIn, EmptyPlaceholderAtANameFailsAndWritesNothing) {
  LogCapture log;
  TempDir dir;
  Stored s = store(action_env(log.log, kWhen), dir / "%ALLTO.DOMAIN%/%ALLTO.USER%", "ann@x", {"u"});
  EXPECT_EQ(s.result, 0);
  EXPECT_TRUE(dir.entries().empty());
  EXPECT_EQ(log.lines(), std::vector<std::string>{error_line("mlfi_eom", "Could not open file '" + dir.path() + "//u'.", EINVAL)});
}

TEST(StoreIn, NoMatchedRecipientStoresOnceWithEmptyPlaceholders) {
  LogCapture log;
  TempDir dir;
  StandaloneAction a(ACTION_STORE_IN, dir / "box%ALLTO%");
  auto msg = make_message("ann@x", {"a@d"});
  complete_record_size(*msg, kWhen);
  EXPECT_EQ(ActionStoreIn(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg, {0})), 1);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"box"});
}

// A recipient whose copy fails does not keep the later ones from theirs.
TEST(StoreIn, PerRecipientTriesEveryRecipient) {
  LogCapture log;
  TempDir dir;
  mkdir((dir / "a").c_str(), 0700);
  mkdir((dir / "c").c_str(), 0700);
  StandaloneAction a(ACTION_STORE_IN, dir / "%ALLTO.DOMAIN%/mbox");
  auto msg = make_message("ann@x", {"u@a", "u@b", "u@c"});
  complete_record_size(*msg, kWhen);
  EXPECT_EQ(ActionStoreIn(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg)), 0);
  EXPECT_EQ(read_file(dir / "a/mbox"), record_for());
  EXPECT_EQ(read_file(dir / "c/mbox"), record_for());
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{error_line("mlfi_eom", "Could not open file '" + (dir / "b/mbox") + "'.", ENOENT)});
}

// Another process holding a lock on the file.
class LockHolder {
 public:
  // Locks the whole of `path`; after `hold_ms` appends `line` and exits.
  LockHolder(const std::string &path, int hold_ms, const std::string &line) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      lock.l_whence = SEEK_SET;
      if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0) _exit(2);
      if (write(ready[1], "x", 1) != 1) _exit(3);
      usleep(static_cast<useconds_t>(hold_ms) * 1000);
      if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(4);
      _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
  }
  ~LockHolder() {
    // Only ever a real child's id: kill() with -1 would signal every process.
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait_exit();
    }
  }
  int wait_exit() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

TEST(StoreIn, WaitsForAnotherProcessAndAppendsAfterIt) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir / "mbox";
  LockHolder holder(path, 300, "written by the lock holder\n");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(store(action_env(log.log, kWhen), path).result, 1);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(250));
  EXPECT_EQ(holder.wait_exit(), 0);
  EXPECT_EQ(read_file(path), "written by the lock holder\n" + record_for());
  EXPECT_TRUE(log.lines().empty());
}

TEST(StoreIn, GivesUpWhenTheLockIsNeverReleased) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir / "mbox";
  LockHolder holder(path, 5000, "late\n");
  ActionEnv env = action_env(log.log, kWhen);
  env.record_lock_wait_ms = 200;
  EXPECT_EQ(store(env, path).result, 0);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{error_line("mlfi_eom", "Could not get write lock on '" + path + "'.", EAGAIN)});
  EXPECT_EQ(read_file(path), "");
  EXPECT_EQ(file_lock_entries(), 0u);
}

// A mail reader that compacts the mailbox: under a classic lock it writes a
// new copy next to it and renames that over the mailbox, then lets go.
TEST(StoreIn, AnAppendThatWaitedLandsInTheMailboxThatReplacedTheOld) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir / "mbox";
  write_file(path, "old contents\n");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t reader = fork();
  if (reader == 0) {
    close(ready[0]);
    const int fd = open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLKW, &lock) != 0) _exit(2);
    if (write(ready[1], "x", 1) != 1) _exit(3);
    usleep(300 * 1000);
    write_file(dir / "mbox.new", "compacted\n");
    if (rename((dir / "mbox.new").c_str(), path.c_str()) != 0) _exit(4);
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  EXPECT_EQ(store(action_env(log.log, kWhen), path).result, 1);
  int status = 0;
  ASSERT_EQ(waitpid(reader, &status, 0), reader);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read_file(path), "compacted\n" + record_for());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(file_lock_entries(), 0u);
}

// Messages that queue in the process behind one waiting for another
// process's lock share its limit: each append has one deadline for all its
// waiting, so they are all answered after about the limit, not one limit
// after the other.
TEST(StoreIn, QueuedAppendsGiveUpTogetherAtTheLimit) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir / "mbox";
  LockHolder holder(path, 10000, "late\n");
  ActionEnv env = action_env(log.log, kWhen);
  env.record_lock_wait_ms = 500;
  constexpr int kThreads = 3;
  std::vector<std::unique_ptr<MessageContext>> messages;
  for (int t = 0; t < kThreads; ++t) {
    messages.push_back(make_message("ann@x", {}, "Hello\n"));
    complete_record_size(*messages.back(), kWhen);
  }
  StandaloneAction a(ACTION_STORE_IN, path);
  std::vector<int> results(kThreads, -1);
  std::vector<std::chrono::steady_clock::duration> took(kThreads);
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      results[static_cast<size_t>(t)] =
          ActionStoreIn(*a.action, env, *messages[static_cast<size_t>(t)], select_recipients(*messages[static_cast<size_t>(t)]));
      took[static_cast<size_t>(t)] = std::chrono::steady_clock::now() - started;
    });
  for (auto &thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(results[static_cast<size_t>(t)], 0);
    EXPECT_GE(took[static_cast<size_t>(t)], std::chrono::milliseconds(450));
    EXPECT_LT(took[static_cast<size_t>(t)], std::chrono::milliseconds(1500));
  }
  const std::string want = error_line("mlfi_eom", "Could not get write lock on '" + path + "'.", EAGAIN);
  EXPECT_EQ(log.lines(), std::vector<std::string>(kThreads, want));
  EXPECT_EQ(read_file(path), "");
  EXPECT_EQ(file_lock_entries(), 0u);
}

// A local user who may write the spool directory plants links at names
// that senders choose. Links are followed only when root or the daemon's
// user made them; a file with a second name is refused.
class StoreInPlantedLinks : public testing::Test {
 protected:
  void SetUp() override {
    mkdir((dir / "spool").c_str(), 0755);
    mkdir((dir / "elsewhere").c_str(), 0755);
    write_file(dir / "target", "precious\n");
  }
  // Makes `name` a symbolic link to `to`, owned by nobody when `planted`.
  void link(const std::string &to, const std::string &name, bool planted) {
    ASSERT_EQ(symlink(to.c_str(), (dir / name).c_str()), 0);
    if (planted) {
      ASSERT_EQ(lchown((dir / name).c_str(), 65534, 65534), 0);
    }
  }
  int store_from(const std::string &path_template, const std::string &from) {
    return store(action_env(log.log, kWhen), dir / path_template, from).result;
  }
  void expect_refused(const std::string &path, int error) {
    EXPECT_EQ(log.lines(), std::vector<std::string>{error_line("mlfi_eom", "Could not open file '" + path + "'.", error)});
    EXPECT_EQ(read_file(dir / "target"), "precious\n");
  }
  LogCapture log;
  TempDir dir;
};

TEST_F(StoreInPlantedLinks, HardLinkAtTheSendersNameIsRefused) {
  ASSERT_EQ(::link((dir / "target").c_str(), (dir / "spool/victim").c_str()), 0);
  EXPECT_EQ(store_from("spool/%FROM.USER%", "victim@x"), 0);
  expect_refused(dir / "spool/victim", EMLINK);
}

TEST_F(StoreInPlantedLinks, AnotherUsersLinkIsNotFollowed) {
  if (!running_as_root()) GTEST_SKIP() << "needs root to give a link to another user";
  link("../target", "spool/victim", true);
  EXPECT_EQ(store_from("spool/%FROM.USER%", "victim@x"), 0);
  expect_refused(dir / "spool/victim", ELOOP);
}

TEST_F(StoreInPlantedLinks, AnotherUsersLinkAsADirectoryLevelIsNotFollowed) {
  if (!running_as_root()) GTEST_SKIP() << "needs root to give a link to another user";
  link("../elsewhere", "spool/x", true);
  EXPECT_EQ(store_from("spool/%FROM.DOMAIN%/box", "victim@x"), 0);
  expect_refused(dir / "spool/x/box", ELOOP);
  EXPECT_TRUE(TempDir::entries_of(dir / "elsewhere").empty());
}

// The administrator's links (the daemon's user's or root's) keep working,
// and paths the sender has no say in are opened as written.
TEST_F(StoreInPlantedLinks, TrustedLinksAndLiteralPathsAreFollowed) {
  link("../target", "spool/alias", false);
  link("../elsewhere", "spool/y", false);
  link("target", "literal", true);
  EXPECT_EQ(store_from("spool/%FROM.USER%", "alias@x"), 1);
  EXPECT_EQ(store_from("spool/%FROM.DOMAIN%/box", "ann@y"), 1);
  EXPECT_EQ(store_from("literal", "ann@x"), 1);
  EXPECT_EQ(store(action_env(log.log, kWhen), "/dev/null", "ann@x").result, 1);
  EXPECT_EQ(read_file(dir / "target"), "precious\n" + record_for("alias@x") + record_for("ann@x"));
  EXPECT_EQ(read_file(dir / "elsewhere/box"), record_for("ann@y"));
  EXPECT_TRUE(log.lines().empty());
}

// With Create: the missing levels are made 0750 whatever the umask, a name on
// the way that is not a directory fails, and a planted link at a level the
// sender names is not followed to make directories elsewhere.
TEST_F(StoreInPlantedLinks, WithCreateMakesTheMissingDirectories) {
  const auto store_created = [&](const std::string &path_template, const std::string &from) {
    StandaloneAction a(ACTION_STORE_IN, dir / path_template);
    a.action->with = WITH_CREATE;
    auto msg = make_message(from, {});
    complete_record_size(*msg, kWhen);
    return ActionStoreIn(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg));
  };
  const mode_t old_umask = umask(077);
  EXPECT_EQ(store_created("new/%FROM.DOMAIN%/%FROM.USER%", "ann@x"), 1);
  umask(old_umask);
  EXPECT_EQ(read_file(dir / "new/x/ann"), record_for("ann@x"));
  struct stat info {};
  for (const char *level : {"new", "new/x"}) {
    ASSERT_EQ(stat((dir / level).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u) << level;
  }
  EXPECT_EQ(store_created("target/box", "ann@x"), 0);
  expect_refused(dir / "target/box", ENOTDIR);
  if (!running_as_root()) return;
  link("../elsewhere", "spool/planted", true);
  EXPECT_EQ(store_created("spool/%FROM.DOMAIN%/more/box", "ann@planted"), 0);
  EXPECT_EQ(log.lines().back(), error_line("mlfi_eom", "Could not open file '" + dir / "spool/planted/more/box" + "'.", ELOOP));
  EXPECT_TRUE(TempDir::entries_of(dir / "elsewhere").empty());
}

// Many appends making the same directories at once all succeed.
TEST(StoreIn, WithCreateFromManyThreadsAtOnce) {
  LogCapture log;
  TempDir dir;
  StandaloneAction a(ACTION_STORE_IN, dir / "a/b/c/%FROM.USER%");
  a.action->with = WITH_CREATE;
  auto msg = make_message("ann@x", {});
  complete_record_size(*msg, kWhen);
  std::vector<std::thread> threads;
  std::atomic<int> stored{0};
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] { stored += ActionStoreIn(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg)); });
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(stored.load(), 8);
  EXPECT_TRUE(log.lines().empty());
  std::string want;
  for (int i = 0; i < 8; ++i) want += record_for();
  EXPECT_EQ(read_file(dir / "a/b/c/ann"), want);
}

// A write that hits the file size limit: the file is cut back to what it was.
TEST(StoreIn, FailedWriteLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string path = dir / "mbox";
  const std::string earlier(4000, 'e');
  {
    std::FILE *f = std::fopen(path.c_str(), "w");
    std::fwrite(earlier.data(), 1, earlier.size(), f);
    std::fclose(f);
  }
  const std::string log_path = dir / "log";
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    Log child_log;
    std::FILE *log_file = std::fopen(log_path.c_str(), "w");
    child_log.set_stream(log_file);
    // The record is larger than the room left, so part of it gets written.
    const int result = store(action_env(child_log, kWhen), path, "ann@x", {}, std::string(600, 'b')).result;
    std::fclose(log_file);
    _exit(result);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);  // the action failed
  EXPECT_EQ(read_file(path), earlier);
  const std::string log = read_file(log_path);
  const std::string want = "Quorvane(mlfi_eom): ERROR - Could not write to file '" + path + "'. (errno: " +
                           std::to_string(EFBIG) + ":" + std::strerror(EFBIG) + "). Mail accepted despite error.\n";
  ASSERT_GT(log.size(), 25u);
  EXPECT_EQ(log.substr(25), want);
}

// Envelope addresses are chosen by whoever sends the mail: whatever they hold,
// the files land in the template's directory.
TEST(StoreIn, HostileAddressesStayInTheDirectory) {
  LogCapture log;
  TempDir dir;
  mkdir((dir / "box").c_str(), 0700);
  const std::vector<std::string> recipients = {"../../escaped@x", "/etc/passwd@x", "..@..", ".hidden@x",
                                               "a/../../b@x/../.."};
  for (const char *tmpl : {"box/%FROM%-%ALLTO%", "box/%ALLTO.USER%", "box/%ALLTO.DOMAIN%", "box/%FROM.USER%%ALLTO%"}) {
    SCOPED_TRACE(tmpl);
    EXPECT_EQ(store(action_env(log.log, kWhen), dir / tmpl, "../../up@../..", recipients).result, 1);
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"box"});
  for (const std::string &name : TempDir::entries_of(dir / "box")) {
    struct stat info {};
    ASSERT_EQ(lstat((dir / "box/" + name).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
    EXPECT_NE(name[0], '.') << name;
  }
  EXPECT_FALSE(file_exists("/tmp/escaped@x"));
  EXPECT_TRUE(log.lines().empty());
}

// Many messages of this process appended to one file at the same time: every
// record must come out whole, none mixed into another.
TEST(StoreIn, ConcurrentAppendsStayWhole) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir / "shared";
  StandaloneAction a(ACTION_STORE_IN, path);
  constexpr int kThreads = 8, kMessages = 50;
  std::map<std::string, std::string> want;  // sender -> record
  std::vector<std::unique_ptr<MessageContext>> messages;
  for (int t = 0; t < kThreads; ++t)
    for (int m = 0; m < kMessages; ++m) {
      const std::string sender = "t" + std::to_string(t) + "m" + std::to_string(m) + "@x";
      // Bodies larger than a stdio buffer, so each record takes several writes.
      auto msg = make_message(sender, {}, std::string(5000 + 97 * m, static_cast<char>('a' + t)) + "\n");
      complete_record_size(*msg, kWhen);
      want[sender] = record_text(*msg, kWhen);
      messages.push_back(std::move(msg));
    }
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int m = 0; m < kMessages; ++m) {
        const MessageContext &msg = *messages[static_cast<size_t>(t * kMessages + m)];
        if (ActionStoreIn(*a.action, action_env(log.log, kWhen), msg, select_recipients(msg)) != 1) ++failures;
      }
    });
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  const std::string file = read_file(path);
  std::size_t offset = 0, records = 0;
  while (offset < file.size()) {
    ASSERT_EQ(file.compare(offset, 6, "From <"), 0) << "at " << offset;
    const std::size_t end = file.find('>', offset);
    const std::string sender = file.substr(offset + 6, end - offset - 6);
    auto found = want.find(sender);
    ASSERT_NE(found, want.end()) << sender;
    ASSERT_EQ(file.compare(offset, found->second.size(), found->second), 0) << sender;
    offset += found->second.size();
    want.erase(found);
    ++records;
  }
  EXPECT_EQ(records, static_cast<std::size_t>(kThreads * kMessages));
  EXPECT_TRUE(want.empty());
  EXPECT_EQ(file_lock_entries(), 0u);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace

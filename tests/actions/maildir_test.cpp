// Maildir: the Maildir made on demand, one whole file per delivery under a
// unique name, per-recipient Maildirs, each failure with its step and
// nothing left behind, hostile envelope addresses and links planted at
// their names.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "support/milter_helpers.h"
#include "support/process.h"

namespace {

constexpr std::time_t kWhen = 1700000000;

int deliver(const Log &log, const std::string &path_template, const std::vector<std::string> &recipients = {},
            const std::string &from = "ann@x", const Trace &trace = Trace{}) {
  StandaloneAction a(ACTION_MAILDIR, path_template);
  auto msg = make_message(from, recipients, "Hello\r\n");
  return ActionMaildir(*a.action, action_env(log, kWhen, trace), *msg, select_recipients(*msg));
}

std::string mode_of(const std::string &path) {
  struct stat info {};
  stat(path.c_str(), &info);
  char text[8];
  std::snprintf(text, sizeof text, "%o", info.st_mode & 07777);
  return text;
}

TEST(Maildir, MakesTheMaildirAndDeliversWholeFilesUnderUniqueNames) {
  LogCapture log;
  TempDir dir;
  const mode_t old_umask = umask(0);
  EXPECT_EQ(deliver(log.log, dir / "md"), 1);
  EXPECT_EQ(deliver(log.log, dir / "md"), 1);
  umask(old_umask);
  for (const char *sub : {"md", "md/tmp", "md/new", "md/cur"}) EXPECT_EQ(mode_of(dir / sub), "700") << sub;
  EXPECT_TRUE(TempDir::entries_of(dir / "md/tmp").empty());
  const std::vector<std::string> names = TempDir::entries_of(dir / "md/new");
  ASSERT_EQ(names.size(), 2u);
  const std::string want = "Return-Path: <ann@x>\nSubject: test\n\nHello\n";
  const std::regex layout("[0-9]+\\.M[0-9]{6}P" + std::to_string(getpid()) + "Q[0-9]+\\.[^/:]+,S=" +
                          std::to_string(want.size()));
  for (const std::string &name : names) {
    EXPECT_TRUE(std::regex_match(name, layout)) << name;
    EXPECT_EQ(read_file(dir / ("md/new/" + name)), want);
    EXPECT_EQ(mode_of(dir / ("md/new/" + name)), "600");
  }
  EXPECT_TRUE(log.lines().empty());
}

// With Envelope: the lines after Return-Path, counted in the name's size.
TEST(Maildir, WithEnvelopeNamesTheWholeEnvelope) {
  LogCapture log;
  TempDir dir;
  StandaloneAction a(ACTION_MAILDIR, dir / "md");
  a.action->with = WITH_ENVELOPE;
  auto msg = make_message("ann@x", {"a@d", "b@d"}, "Hello\r\n");
  // a@d not selected: still in the envelope
  ASSERT_EQ(ActionMaildir(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg, {0})), 1);
  const std::vector<std::string> names = TempDir::entries_of(dir / "md/new");
  ASSERT_EQ(names.size(), 1u);
  const std::string want =
      "Return-Path: <ann@x>\nX-Envelope-From: <ann@x>\nX-Envelope-To: <a@d>\nX-Envelope-To: <b@d>\n"
      "Subject: test\n\nHello\n";
  EXPECT_EQ(read_file(dir / ("md/new/" + names[0])), want);
  EXPECT_EQ(names[0].substr(names[0].rfind(",S=") + 3), std::to_string(want.size()));
}

// With Create: the levels above the Maildir are made 0750, the Maildir 0700
// as without it; without it the missing parent fails as before.
TEST(Maildir, WithCreateMakesTheLevelsAbove) {
  LogCapture log;
  TempDir dir;
  StandaloneAction a(ACTION_MAILDIR, dir / "lists/%FROM.DOMAIN%/%FROM.USER%");
  auto msg = make_message("ann@x", {}, "Hello\r\n");
  ASSERT_EQ(ActionMaildir(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg)), 0);
  a.action->with = WITH_CREATE;
  const mode_t old_umask = umask(027);
  ASSERT_EQ(ActionMaildir(*a.action, action_env(log.log, kWhen), *msg, select_recipients(*msg)), 1);
  umask(old_umask);
  EXPECT_EQ(mode_of(dir / "lists"), "750");
  EXPECT_EQ(mode_of(dir / "lists/x"), "750");
  EXPECT_EQ(mode_of(dir / "lists/x/ann"), "700");
  EXPECT_EQ(TempDir::entries_of(dir / "lists/x/ann/new").size(), 1u);
  EXPECT_EQ(log.lines(), std::vector<std::string>{error_line(
                             "ActionMaildir", "Could not deliver to maildir '" + dir / "lists/x/ann" + "': create.", ENOENT)});
}

TEST(Maildir, OneMaildirPerMatchedRecipientWithItsTrace) {
  LogCapture log;
  TempDir dir;
  const Trace trace{stdout, 1};
  testing::internal::CaptureStdout();
  EXPECT_EQ(deliver(log.log, dir / "%ALLTO.USER%", {"a@d", "b@d"}, "ann@x", trace), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), (dir / "a") + ", " + (dir / "b") + ", ");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "b"}));
  for (const char *box : {"a/new", "b/new"}) EXPECT_EQ(TempDir::entries_of(dir / box).size(), 1u) << box;
  EXPECT_TRUE(log.lines().empty());
}

// A recipient whose delivery fails does not keep the later ones from theirs.
TEST(Maildir, PerRecipientTriesEveryRecipient) {
  LogCapture log;
  TempDir dir;
  EXPECT_EQ(deliver(log.log, dir / "%ALLTO.USER%", {"a@d", "@d", "b@d"}), 0);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(log.lines(), std::vector<std::string>{error_line(
                             "ActionMaildir", "Could not deliver to maildir '" + dir.path() + "/': create.", EINVAL)});
}

TEST(Maildir, FailuresNameTheirStepAndLeaveNothingBehind) {
  TempDir dir;
  mkdir((dir / "broken").c_str(), 0700);
  std::fclose(std::fopen((dir / "broken/tmp").c_str(), "w"));
  std::fclose(std::fopen((dir / "file").c_str(), "w"));
  struct Case {
    std::string path_template;
    std::vector<std::string> recipients;
    std::string want_path;
    const char *want_step;
    int want_errno;
  };
  const Case cases[] = {
      // A placeholder that gave nothing would turn the parent into a Maildir.
      {dir / "%ALLTO.USER%", {"@d"}, dir.path() + "/", "create", EINVAL},
      // ... or take a directory level away.
      {dir / "%ALLTO.DOMAIN%/%ALLTO.USER%", {"u"}, dir.path() + "//u", "create", EINVAL},
      {dir / "%ALLTO.USER%.box", {"@d"}, dir / ".box", "create", EINVAL},
      {"%SENDER%", {}, "", "create", EINVAL},
      {dir / "missing/md", {}, dir / "missing/md", "create", ENOENT},
      {dir / "file", {}, dir / "file", "create", ENOTDIR},
      {dir / "broken", {}, dir / "broken", "write", ENOTDIR},
  };
  for (int accept : {1, 0}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.path_template);
      LogCapture log(accept);
      EXPECT_EQ(deliver(log.log, c.path_template, c.recipients), 0);
      EXPECT_EQ(log.lines(), std::vector<std::string>{error_line(
                                 "ActionMaildir", "Could not deliver to maildir '" + c.want_path + "': " + c.want_step + ".",
                                 c.want_errno, accept)});
    }
  }
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"broken", "file"}));
  EXPECT_EQ(TempDir::entries_of(dir / "broken"), std::vector<std::string>{"tmp"});
}

// Envelope addresses are chosen by whoever sends the mail: whatever they hold,
// the Maildirs land in the template's directory.
TEST(Maildir, HostileAddressesStayInTheParent) {
  LogCapture log;
  TempDir dir;
  mkdir((dir / "box").c_str(), 0700);
  const std::vector<std::string> recipients = {"../../escaped@x", "/etc/passwd@x", "..@..", ".hidden@x",
                                               "a/../../b@x/../.."};
  for (const char *tmpl : {"box/%FROM%-%ALLTO%", "box/%ALLTO.USER%", "box/%ALLTO.DOMAIN%"}) {
    SCOPED_TRACE(tmpl);
    EXPECT_EQ(deliver(log.log, dir / tmpl, recipients, "../../up@../.."), 1);
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"box"});
  for (const std::string &name : TempDir::entries_of(dir / "box")) {
    EXPECT_NE(name[0], '.') << name;
    EXPECT_EQ(TempDir::entries_of(dir / ("box/" + name)), (std::vector<std::string>{"cur", "new", "tmp"})) << name;
  }
  EXPECT_FALSE(file_exists("/tmp/escaped@x"));
  EXPECT_TRUE(log.lines().empty());
}

// A local user who may write the directory plants links where senders name
// the Maildir, or its tmp/ in a Maildir of theirs; the administrator's links
// (root's or the daemon's user's) keep working.
TEST(Maildir, LinksAtSenderNamesAreFollowedOnlyWhenTrusted) {
  if (!running_as_root()) GTEST_SKIP() << "needs root to give a link to another user";
  TempDir dir;
  mkdir((dir / "spool").c_str(), 0755);
  mkdir((dir / "elsewhere").c_str(), 0755);
  mkdir((dir / "spool/owner").c_str(), 0755);
  const auto plant = [&](const std::string &to, const std::string &name, uid_t owner) {
    ASSERT_EQ(symlink(to.c_str(), (dir / name).c_str()), 0);
    ASSERT_EQ(lchown((dir / name).c_str(), owner, owner), 0);
  };
  plant("../elsewhere", "spool/victim", 65534);
  plant("../../elsewhere", "spool/owner/tmp", 65534);
  plant("../elsewhere", "spool/alias", 0);
  struct Case {
    std::string from;
    const char *want_step;  // null: delivered
  };
  const Case cases[] = {{"victim@x", "create"}, {"owner@x", "write"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.from);
    LogCapture log;
    EXPECT_EQ(deliver(log.log, dir / "spool/%FROM.USER%", {}, c.from), 0);
    const std::string path = dir / ("spool/" + c.from.substr(0, c.from.find('@')));
    EXPECT_EQ(log.lines(), std::vector<std::string>{error_line(
                               "ActionMaildir", "Could not deliver to maildir '" + path + "': " + c.want_step + ".", ELOOP)});
  }
  EXPECT_TRUE(TempDir::entries_of(dir / "elsewhere").empty());

  LogCapture log;
  EXPECT_EQ(deliver(log.log, dir / "spool/%FROM.USER%", {}, "alias@x"), 1);
  EXPECT_EQ(TempDir::entries_of(dir / "elsewhere/new").size(), 1u);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace

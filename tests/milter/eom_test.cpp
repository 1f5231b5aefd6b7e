// End-of-message dispatch with hand-built rules: the record count, Halt,
// failed actions and the verdict, the counters, per-recipient actions after a
// failure, and the verbose trace byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/callbacks.h"
#include "message/message_context.h"
#include "support/fake_smfi.h"
#include "support/milter_helpers.h"

namespace {

MessageInput three_recipients() {
  MessageInput m;
  m.sender = "<Ann@X>";
  m.recipients = {"<a@x>", "<b@x>", "<c@x>"};
  m.headers = {{"Subject", "hi"}};
  m.chunks = {"body\n"};
  return m;
}

// To contains "": holds for, and with %ALLTO% in the rule selects, every
// recipient.
std::unique_ptr<ConditionNode> every_recipient() { return single_term(FIELD_TO, OP_CONTAINS, ""); }

TEST(Eom, EmptyRuleListOnlyCompletesTheCount) {
  TestFilter rules(1);
  LogCapture &log = rules.capture;
  FakeConnection c;
  feed(c, three_recipients());
  testing::internal::CaptureStdout();
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(context_of(c), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

// What end of message adds to the count: the date line and the three
// newlines that close the record; a stored record is exactly that long.
TEST(Eom, CompletesTheCountOfTheRecordItStores) {
  TempDir dir;
  TestFilter rules;
  Rule &all = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(all, ACTION_STORE_IN, dir / "mbox");
  FakeConnection c;
  feed(c, three_recipients());
  const std::int64_t captured = context_of(c)->record_size;
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(static_cast<std::int64_t>(read_file(dir / "mbox").size()), captured + 28);  // a four-digit year
}

TEST(Eom, FailedActionsDoNotStopTheRestAndSetTheVerdict) {
  for (int accept : {1, 0}) {
    SCOPED_TRACE(accept);
    TempDir dir;
    TestFilter rules(0, accept);
    Rule &first = rules.add(single_term(FIELD_MATCH_ALL));
    add_template_action(first, ACTION_STORE_IN, dir / "missing/mbox");
    add_template_action(first, ACTION_STORE_IN, dir / "one");
    Rule &second = rules.add(single_term(FIELD_NOT_MATCHED));
    add_template_action(second, ACTION_STORE_IN, dir / "never");
    Rule &third = rules.add(single_term(FIELD_MATCH_ALL));
    add_template_action(third, ACTION_STORE_IN, dir / "two");

    LogCapture &log = rules.capture;
    FakeConnection c;
    feed(c, three_recipients());
    EXPECT_EQ(mlfi_eom(c.ctx()), accept ? SMFIS_CONTINUE : SMFIS_TEMPFAIL);
    EXPECT_EQ(context_of(c), nullptr);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(read_file(dir / "one"), read_file(dir / "two"));  // one message time for all records
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{error_line(
                  "mlfi_eom", "Could not open file '" + (dir / "missing/mbox") + "'.", ENOENT, accept)});
  }
}

// What the metrics read: each end of message, each match of each rule of the
// set in use, each action by kind and result with its time, each failed
// message once however many of its actions failed.
TEST(Eom, CountsMessagesMatchesActionsAndFailures) {
  TempDir dir;
  TestFilter rules;
  Rule &all = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(all, ACTION_STORE_IN, dir / "mbox");
  add_template_action(all, ACTION_ADD_HEADER, "X-Seen: yes");  // not granted: succeeds doing nothing
  Rule &never = rules.add(single_term(FIELD_FROM, OP_IS, "nobody"));
  add_template_action(never, ACTION_STORE_IN, dir / "never");
  Rule &bad = rules.add(single_term(FIELD_FROM, OP_STARTS, "bad"));
  add_template_action(bad, ACTION_STORE_IN, dir / "missing/mbox");
  add_template_action(bad, ACTION_PIPE, "exit 3");

  for (const char *sender : {"<Ann@X>", "<Bad@X>", "<Cy@X>"}) {
    MessageInput m = three_recipients();
    m.sender = sender;
    FakeConnection c;
    feed(c, m);
    mlfi_eom(c.ctx());
  }
  const FilterCounters &counted = rules.filter.counters;
  EXPECT_EQ(counted.messages.load(), 3u);
  EXPECT_EQ(counted.failed.load(), 1u);
  EXPECT_EQ(all.matches.load(), 3u);
  EXPECT_EQ(never.matches.load(), 0u);
  EXPECT_EQ(bad.matches.load(), 1u);
  struct Want {
    ActionType kind;
    std::uint64_t succeeded, failed;
  } wants[] = {{ACTION_STORE_IN, 3, 1}, {ACTION_ADD_HEADER, 3, 0}, {ACTION_PIPE, 0, 1}};
  for (const Want &want : wants) {
    SCOPED_TRACE(action_kind(want.kind).label);
    const ActionCounters::Kind &kind = counted.actions.of(want.kind);
    EXPECT_EQ(kind.succeeded.load(), want.succeeded);
    EXPECT_EQ(kind.failed.load(), want.failed);
  }
  // Running a command takes time that a clock can see.
  EXPECT_GT(counted.actions.of(ACTION_PIPE).nanoseconds.load(), 0u);
}

TEST(Eom, HaltEndsTheWalkAfterTheRulesActions) {
  TempDir dir;
  TestFilter rules;
  Rule &halting = rules.add(single_term(FIELD_MATCH_ALL), 1);
  add_template_action(halting, ACTION_STORE_IN, dir / "first");
  Rule &later = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(later, ACTION_STORE_IN, dir / "later");

  FakeConnection c;
  feed(c, three_recipients());
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"first"});
}

// A per-recipient Store In that fails at the second recipient still stores
// for the third; the per-recipient Pipe after it runs for every one.
TEST(Eom, PerRecipientActionsTryEveryRecipient) {
  TempDir dir;
  mkdir((dir / "a").c_str(), 0700);
  mkdir((dir / "c").c_str(), 0700);
  TestFilter rules;
  LogCapture &log = rules.capture;
  Rule &rule = rules.add(every_recipient());
  add_template_action(rule, ACTION_STORE_IN, dir / "%ALLTO.USER%/mbox");
  add_template_action(rule, ACTION_PIPE, "echo %ALLTO.USER% >> " + (dir / "piped"));

  FakeConnection c;
  feed(c, three_recipients());
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  EXPECT_TRUE(file_exists(dir / "a/mbox"));
  EXPECT_TRUE(file_exists(dir / "c/mbox"));
  EXPECT_EQ(read_file(dir / "piped"), "a\nb\nc\n");
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(Eom, VerboseTraceByteForByte) {
  TempDir dir;
  TestFilter rules(1);
  rules.add(single_term(FIELD_UNDEFINED));  // never holds, traces nothing of its own
  Rule &all = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(all, ACTION_STORE_IN, dir / "%FROM.USER%");
  add_template_action(all, ACTION_PIPE, "cat > /dev/null # %FROM%;");
  add_template_action(all, ACTION_ADD_HEADER, "X-Seen: %FROM%;");
  add_template_action(all, ACTION_STORE_IN, dir / "missing/box");
  rules.add(single_term(FIELD_NOT_MATCHED));
  Rule &each = rules.add(every_recipient(), 1);
  add_template_action(each, ACTION_STORE_IN, dir / "r-%ALLTO.USER%");
  Rule &after_halt = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(after_halt, ACTION_STORE_IN, dir / "never");

  FakeConnection c;
  negotiate(c);
  MessageInput m = three_recipients();
  m.sender = "<../Ann@X>";
  m.recipients = {"<a@x>", "<b@x>"};
  feed(c, m);
  testing::internal::CaptureStdout();
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  const std::string trace = testing::internal::GetCapturedStdout();

  const std::string want =
      "()\n"
      "(match all [true])"
      "Action: Store In '" + (dir / "_._ann") + "' - Success. "
      "Action: Pipe 'cat > /dev/null # .._ann@x;' - Success. "
      "Action: Add Header 'X-Seen: ../ann@x;' - Success. "
      "Action: Store In '" + (dir / "missing/box") + "' - Failed. \n"
      "(not matched by a previous rule [false])\n"
      "(\"a@x\" contains \"\" [true], \"b@x\" contains \"\" [true], )"
      "Action: Store In 'Each matched to address:' " + (dir / "r-a") + ", " + (dir / "r-b") + ", - Success. "
      "Halting.\n";
  EXPECT_EQ(trace, want);
  EXPECT_EQ(c.added_headers, (std::vector<std::pair<std::string, std::string>>{{"X-Seen", " ../ann@x;"}}));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"_._ann", "r-a", "r-b"}));

  // At level 0 the same message prints nothing.
  const Filter quiet_filter(Settings{}, rules.capture.log, rules.rules);
  install_filter(const_cast<Filter *>(&quiet_filter));
  FakeConnection quiet;
  feed(quiet, m);
  testing::internal::CaptureStdout();
  mlfi_eom(quiet.ctx());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  install_filter(&rules.filter);
}

}  // namespace

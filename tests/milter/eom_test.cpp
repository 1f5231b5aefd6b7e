// End-of-message dispatch with hand-built rules: the record count, Halt,
// failed actions and the verdict, per-recipient actions after a failure, and
// the verbose trace byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/filter.h"
#include "milter/message_context.h"
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
  RuleListScope rules;
  LogCapture log;
  VerboseScope verbose(1);
  FakeConnection c;
  feed(c, three_recipients());
  const std::int64_t captured = context_of(c)->record_size;
  std::int64_t at_release = -1;
  c.on_setpriv = [&](void *old_priv, void *new_priv) {
    if (old_priv != nullptr && new_priv == nullptr) at_release = static_cast<MessageContext *>(old_priv)->record_size;
  };
  const std::time_t before = std::time(nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(c.priv, nullptr);
  EXPECT_EQ(at_release, captured + static_cast<std::int64_t>(std::strlen(format_ctime(before).text)) + 1 + 3);
  EXPECT_EQ(at_release, captured + 28);  // a four-digit year
  EXPECT_TRUE(log.lines().empty());
}

TEST(Eom, FailedActionsDoNotStopTheRestAndSetTheVerdict) {
  for (int accept : {1, 0}) {
    SCOPED_TRACE(accept);
    TempDir dir;
    RuleListScope rules;
    Rule &first = rules.add(single_term(FIELD_MATCH_ALL));
    add_template_action(first, ACTION_STORE_IN, dir / "missing/mbox");
    add_template_action(first, ACTION_STORE_IN, dir / "one");
    Rule &second = rules.add(single_term(FIELD_NOT_MATCHED));
    add_template_action(second, ACTION_STORE_IN, dir / "never");
    Rule &third = rules.add(single_term(FIELD_MATCH_ALL));
    add_template_action(third, ACTION_STORE_IN, dir / "two");

    LogCapture log(accept);
    FakeConnection c;
    feed(c, three_recipients());
    EXPECT_EQ(mlfi_eom(c.ctx()), accept ? SMFIS_CONTINUE : SMFIS_TEMPFAIL);
    EXPECT_EQ(c.priv, nullptr);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(read_file(dir / "one"), read_file(dir / "two"));  // one message time for all records
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{error_line(
                  "mlfi_eom", "Could not open file '" + (dir / "missing/mbox") + "'.", ENOENT, accept)});
  }
}

TEST(Eom, HaltEndsTheWalkAfterTheRulesActions) {
  TempDir dir;
  RuleListScope rules;
  Rule &halting = rules.add(single_term(FIELD_MATCH_ALL), 1);
  add_template_action(halting, ACTION_STORE_IN, dir / "first");
  Rule &later = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(later, ACTION_STORE_IN, dir / "later");

  FakeConnection c;
  feed(c, three_recipients());
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"first"});
}

// A per-recipient Store In that fails at the second recipient leaves the
// walk at it; the per-recipient Pipe after it starts again from the first.
TEST(Eom, PerRecipientActionAfterAFailedOneStartsFromTheFirstRecipient) {
  LogCapture log;
  TempDir dir;
  mkdir((dir / "a").c_str(), 0700);
  mkdir((dir / "c").c_str(), 0700);
  RuleListScope rules;
  Rule &rule = rules.add(every_recipient());
  add_template_action(rule, ACTION_STORE_IN, dir / "%ALLTO.USER%/mbox");
  add_template_action(rule, ACTION_PIPE, "echo %ALLTO.USER% >> " + (dir / "piped"));

  FakeConnection c;
  feed(c, three_recipients());
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  EXPECT_TRUE(file_exists(dir / "a/mbox"));
  EXPECT_FALSE(file_exists(dir / "c/mbox"));
  EXPECT_EQ(read_file(dir / "piped"), "a\nb\nc\n");
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(Eom, VerboseTraceByteForByte) {
  TempDir dir;
  RuleListScope rules;
  const int saved_enabled = add_headers_enabled.exchange(1);
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

  LogCapture log;
  VerboseScope verbose(1);
  FakeConnection c;
  MessageInput m = three_recipients();
  m.sender = "<../Ann@X>";
  m.recipients = {"<a@x>", "<b@x>"};
  feed(c, m);
  testing::internal::CaptureStdout();
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);
  const std::string trace = testing::internal::GetCapturedStdout();
  add_headers_enabled = saved_enabled;

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
  verbose_level = 0;
  FakeConnection quiet;
  feed(quiet, m);
  testing::internal::CaptureStdout();
  mlfi_eom(quiet.ctx());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace

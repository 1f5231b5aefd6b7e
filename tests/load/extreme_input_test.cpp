// Envelope values the milter protocol would not carry (its packets stop at
// 64 KiB), handed straight to the callbacks: a sender and a recipient of
// 1 MiB each. Capture, dispatch and every action must cope: the record is
// stored whole and exactly record_size long, the added header carries the
// whole value, and a path or command that the system cannot take fails with
// its logged line rather than a crash or a cut name.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "milter/callbacks.h"
#include "message/message_context.h"
#include "support/fake_smfi.h"
#include "support/milter_helpers.h"

namespace {

const std::string kHuge(1 << 20, 'A');  // 1 MiB, upper case: the capture lower-cases it

TEST(ExtremeInput, MegabyteSenderIsStoredWholeAndAddedAsAHeader) {
  TempDir dir;
  TestFilter rules;
  LogCapture &log = rules.capture;
  Rule &rule = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(rule, ACTION_STORE_IN, dir / "mbox");
  add_template_action(rule, ACTION_ADD_HEADER, "X-Sender:%FROM%");

  FakeConnection c;
  negotiate(c);
  MessageInput m;
  m.sender = "<" + kHuge + "@Example.ORG>";
  m.recipients = {"<bob@example.org>"};
  m.headers = {{"Subject", "big sender"}};
  m.chunks = {"body\n"};
  feed(c, m);
  // What end of message adds: the date line's 24 characters and newline,
  // the blank line and the two final newlines.
  const std::int64_t record_size = context_of(c)->record_size + 24 + kRecordDateLineEnd + kRecordEndFixed;
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);

  const std::string lower(1 << 20, 'a');
  const std::string stored = read_file(dir / "mbox");
  EXPECT_EQ(static_cast<std::int64_t>(stored.size()), record_size);
  const std::string from_line = "From <" + lower + "@example.org>  ";
  EXPECT_EQ(stored.compare(0, from_line.size(), from_line), 0);
  ASSERT_EQ(c.added_headers.size(), 1u);
  EXPECT_EQ(c.added_headers[0].second, lower + "@example.org");
  EXPECT_TRUE(log.lines().empty());
}

TEST(ExtremeInput, MegabyteRecipientInAPathOrCommandFailsCleanly) {
  TempDir dir;
  TestFilter rules;
  LogCapture &log = rules.capture;
  Rule &rule = rules.add(single_term(FIELD_TO, OP_CONTAINS, ""));
  add_template_action(rule, ACTION_STORE_IN, dir / "%ALLTO%");
  add_template_action(rule, ACTION_STORE_IN, dir / "all");
  add_template_action(rule, ACTION_PIPE, "true %TO.USER%");

  FakeConnection c;
  MessageInput m;
  m.recipients = {"<" + kHuge + "@example.org>"};
  m.headers = {{"Subject", "big recipient"}};
  m.chunks = {"body\n"};
  feed(c, m);
  EXPECT_EQ(mlfi_eom(c.ctx()), SMFIS_CONTINUE);

  // The name is too long for the file system, and the command for the
  // kernel (one argument may hold at most 128 KiB): an error line each,
  // naming the whole path or command. The other Store In still succeeds.
  const std::vector<std::string> lines = log.lines();
  const std::string lower(1 << 20, 'a');
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            error_line("mlfi_eom", "Could not open file '" + (dir / (lower + "@example.org")) + "'.", ENAMETOOLONG));
  // Which error the C library reports for the refused exec varies (E2BIG,
  // ENOMEM); the line is the same otherwise.
  const std::string pipe_line = "<time> Quorvane(ActionPipe): ERROR - Could not open program 'true " + lower + "'. (errno: ";
  EXPECT_EQ(lines[1].substr(0, pipe_line.size()), pipe_line);
  EXPECT_EQ(TempDir::entries_of(dir.path()), std::vector<std::string>{"all"});
}

}  // namespace

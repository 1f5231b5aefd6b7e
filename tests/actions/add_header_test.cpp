// Add Header against the fake connection: how a header text is split, which
// names add a recipient, refusals, the level-2 trace, and per-recipient runs.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "actions/actions.h"
#include "milter/editor.h"
#include "milter/callbacks.h"
#include "support/fake_smfi.h"
#include "support/milter_helpers.h"

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;
using Strings = std::vector<std::string>;

class AddHeader : public testing::Test {
 protected:
  struct Outcome {
    int result;
    std::string trace;
  };
  Outcome run(FakeConnection &c, const std::string &text, MessageContext &msg, int verbose = 2) {
    StandaloneAction a(ACTION_ADD_HEADER, text);
    const Trace trace{stdout, verbose};
    ActionEnv env = action_env(capture.log, 0, trace);
    MilterEditor editor(c.ctx());
    env.editor = &editor;
    env.add_headers_enabled = granted;
    testing::internal::CaptureStdout();
    const int result = ActionAddHeader(*a.action, env, msg, select_recipients(msg));
    return {result, testing::internal::GetCapturedStdout()};
  }

  bool granted = true;  // what the MTA allowed at negotiation
  LogCapture capture;
};

TEST_F(AddHeader, SplitsNameAndValue) {
  struct Case {
    const char *text;
    Headers want_headers;
    Strings want_recipients;
    int want_result;
    const char *want_trace;
  };
  const Case cases[] = {
      {"X-Tag: value", {{"X-Tag", " value"}}, {}, 1, "Name: X-Tag Val:  value "},
      {"X-Tag", {{"X-Tag", ""}}, {}, 1, "Name: X-Tag Val: (null) "},
      {"X-Tag:", {{"X-Tag", ""}}, {}, 1, "Name: X-Tag Val: (null) "},
      {"::X-Tag:two:words", {{"X-Tag", "two:words"}}, {}, 1, "Name: X-Tag Val: two:words "},
      {"To: bob@x", {{"To", " bob@x"}}, {" bob@x"}, 1, "Name: To Val:  bob@x Adding recipient "},
      {"cC:carol@x", {{"cC", "carol@x"}}, {"carol@x"}, 1, "Name: cC Val: carol@x Adding recipient "},
      {"BCC:dan@x", {{"BCC", "dan@x"}}, {"dan@x"}, 1, "Name: BCC Val: dan@x Adding recipient "},
      {"To:", {{"To", ""}}, {}, 1, "Name: To Val: (null) "},
      {"Reply-To: eve@x", {{"Reply-To", " eve@x"}}, {}, 1, "Name: Reply-To Val:  eve@x "},
      {"To : eve@x", {{"To ", " eve@x"}}, {}, 1, "Name: To  Val:  eve@x "},
      {"", {}, {}, 0, "Name: (null) Val: (null) "},
      {":::", {}, {}, 0, "Name: (null) Val: (null) "},
      {"X-From: %FROM%", {{"X-From", " ann@x"}}, {}, 1, "Name: X-From Val:  ann@x "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    FakeConnection connection;
    auto msg = make_message("ann@x");
    const Outcome got = run(connection, c.text, *msg);
    EXPECT_EQ(got.result, c.want_result);
    EXPECT_EQ(got.trace, c.want_trace);
    EXPECT_EQ(connection.added_headers, c.want_headers);
    EXPECT_EQ(connection.added_recipients, c.want_recipients);
    // The recipient is asked for before the header.
    if (!c.want_recipients.empty()) {
      EXPECT_EQ(connection.calls, (Strings{"addrcpt", "addheader"}));
    }
  }
}

TEST_F(AddHeader, RefusalsFailTheAction) {
  struct Case {
    const char *text;
    int addrcpt_result, addheader_result;
    Headers want_headers;
    int want_result;
  };
  const Case cases[] = {
      {"To: bob@x", MI_FAILURE, MI_SUCCESS, {{"To", " bob@x"}}, 0},  // the header is still added
      {"To: bob@x", MI_SUCCESS, MI_FAILURE, {}, 0},
      {"X-Tag: v", MI_SUCCESS, MI_FAILURE, {}, 0},
      {"X-Tag", MI_SUCCESS, MI_FAILURE, {}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    FakeConnection connection;
    connection.addrcpt_result = c.addrcpt_result;
    connection.addheader_result = c.addheader_result;
    auto msg = make_message("ann@x");
    EXPECT_EQ(run(connection, c.text, *msg, 0).result, c.want_result);
    EXPECT_EQ(connection.added_headers, c.want_headers);
    EXPECT_TRUE(capture.lines().empty());  // refusals are not logged
  }
}

TEST_F(AddHeader, NotGrantedIsSkippedAsSuccess) {
  granted = false;
  FakeConnection connection;
  auto msg = make_message("ann@x", {"a@x", "b@x"});
  const Outcome got = run(connection, "X-Rcpt: %ALLTO%", *msg);
  EXPECT_EQ(got.result, 1);
  EXPECT_EQ(got.trace, "Adding headers NOT supported by MTA - Ignoring action ");
  EXPECT_TRUE(connection.calls.empty());
}

// Every recipient's header is asked for; one refused fails the action.
TEST_F(AddHeader, PerRecipientFailsWhenAnyExpansionFails) {
  struct Case {
    Strings recipients;  // "" makes an empty text, which fails
    Strings want_names;
    int want_result;
  };
  const Case cases[] = {
      {{"a@x", "b@x", "c@x"}, {"a", "b", "c"}, 1},
      {{"", "b@x", "c@x"}, {"b", "c"}, 0},
      {{"a@x", "b@x", ""}, {"a", "b"}, 0},
  };
  for (const Case &c : cases) {
    FakeConnection connection;
    auto msg = make_message("ann@x", c.recipients);
    EXPECT_EQ(run(connection, "%ALLTO.USER%", *msg, 0).result, c.want_result);
    Strings names;
    for (const auto &header : connection.added_headers) names.push_back(header.first);
    EXPECT_EQ(names, c.want_names);
  }
}

}  // namespace

// Add Recipient asks for the text as a recipient and adds no header; every
// selected recipient's text is asked for, and one refused fails the action.
TEST_F(AddHeader, AddRecipientAddsOnlyTheRecipient) {
  struct Case {
    const char *text;
    Strings recipients;
    int addrcpt_result;
    bool granted;
    Strings want_recipients;
    int want_result;
    const char *want_trace;
  };
  const Case cases[] = {
      {"journal@a", {"b@x"}, MI_SUCCESS, true, {"journal@a"}, 1, "Rcpt: journal@a "},
      {"%ALLTO.USER%+j@a", {"b@x", "c@x"}, MI_SUCCESS, true, {"b+j@a", "c+j@a"}, 1, "Rcpt: b+j@a Rcpt: c+j@a "},
      {"%ALLTO.USER%+j@a", {"b@x", "c@x"}, MI_FAILURE, true, {}, 0, "Rcpt: b+j@a Rcpt: c+j@a "},
      {"%SENDER%", {"b@x"}, MI_SUCCESS, true, {}, 0, "Rcpt:  "},  // empty: nothing is asked for
      {"journal@a", {"b@x"}, MI_SUCCESS, false, {}, 1, "Adding recipients NOT supported by MTA - Ignoring action "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    FakeConnection connection;
    connection.addrcpt_result = c.addrcpt_result;
    auto msg = make_message("ann@x", c.recipients);
    StandaloneAction a(ACTION_ADD_RECIPIENT, c.text);
    const Trace trace{stdout, 2};
    ActionEnv env = action_env(capture.log, 0, trace);
    MilterEditor editor(connection.ctx());
    env.editor = &editor;
    env.add_headers_enabled = c.granted;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ActionAddRecipient(*a.action, env, *msg, select_recipients(*msg)), c.want_result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.want_trace);
    EXPECT_EQ(connection.added_recipients, c.want_recipients);
    EXPECT_TRUE(connection.added_headers.empty());
    EXPECT_TRUE(capture.lines().empty());
  }
}

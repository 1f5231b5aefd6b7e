// Running out of memory anywhere in a message: every allocation of a whole
// transaction (envelope, headers, body, end of message with a Store In) is
// made to fail in turn. Each run must log the line for that allocation, give
// the policy's verdict, count the message as failed once, release the
// context (the address sanitizer build checks for leaks) and leave no
// half-written record behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "actions/file_lock.h"
#include "milter/editor.h"
#include "milter/callbacks.h"
#include "message/message_context.h"
#include "support/alloc_failure.h"
#include "support/fake_smfi.h"
#include "support/milter_helpers.h"

namespace {

struct Step {
  const char *callback;
  std::function<sfsistat(FakeConnection &)> call;
};

std::vector<Step> transaction() {
  return {
      {"mlfi_envfrom", [](FakeConnection &c) { return call_envfrom(c, "<Ann@Example.org>"); }},
      {"mlfi_envrcpt", [](FakeConnection &c) { return call_envrcpt(c, "<bob@x>"); }},
      {"mlfi_envrcpt", [](FakeConnection &c) { return call_envrcpt(c, "<cy@x>"); }},
      {"mlfi_header", [](FakeConnection &c) { return call_header(c, "Subject", "hi"); }},
      {"mlfi_header", [](FakeConnection &c) { return call_header(c, "To", "bob@x"); }},
      {"mlfi_body", [](FakeConnection &c) { return call_body(c, "line one\n"); }},
      {"mlfi_body", [](FakeConnection &c) { return call_body(c, std::string("nul\0byte\n", 9)); }},
      {"mlfi_eom", [](FakeConnection &c) { return mlfi_eom(c.ctx()); }},
  };
}

// The allocations of the transaction in the order they are made: the step
// that makes it and the LOG_NO_MEMORY line its failure writes.
struct Allocation {
  std::size_t step;
  const char *where;
  const char *what;
};
const Allocation kAllocations[] = {
    {0, "mlfi_envfrom", "private data"},  // the connection (no negotiation came first)
    {0, "mlfi_envfrom", "private data"},  // the message
    {0, "mlfi_envfrom", "SMTP sender"},
    {0, "mlfi_envfrom", "sender address"},
    {1, "mlfi_envrcpt", "recipient structure"},
    {1, "mlfi_envrcpt", "recipient address"},
    {2, "mlfi_envrcpt", "recipient structure"},
    {2, "mlfi_envrcpt", "recipient address"},
    {3, "mlfi_header", "header structure"},
    {3, "mlfi_header", "header name"},
    {3, "mlfi_header", "header value"},
    {4, "mlfi_header", "header structure"},
    {4, "mlfi_header", "header name"},
    {4, "mlfi_header", "header value"},
    {5, "mlfi_body", "body structure"},
    {5, "mlfi_body", "body data"},
    {6, "mlfi_body", "body structure"},
    {6, "mlfi_body", "body data"},
    {7, "mlfi_eom", "expanded template"},
    {7, "mlfi_eom", "file lock"},
};
constexpr long kAllocationCount = sizeof kAllocations / sizeof kAllocations[0];

class AllocationSweep : public testing::TestWithParam<int> {};

TEST_P(AllocationSweep, EveryAllocationFailsInTurn) {
  const int accept = GetParam();
  TempDir dir;
  const std::string mailbox = dir / "mbox";
  for (long n = 0;; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n) + " accept_on_error=" + std::to_string(accept));
    ASSERT_LE(n, kAllocationCount) << "more allocations than listed";
    unlink(mailbox.c_str());
    TestFilter rules(0, accept);
    Rule &rule = rules.add(single_term(FIELD_MATCH_ALL));
    add_template_action(rule, ACTION_STORE_IN, mailbox);
    LogCapture &log = rules.capture;
    FakeConnection c;
    c.macros["{auth_authen}"] = "Ann";
    const std::vector<Step> steps = transaction();

    fail_nothrow_allocation(n);
    std::vector<std::string> want_lines;
    bool failed = false;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const sfsistat verdict = steps[i].call(c);
      if (!failed && allocation_failure_fired()) {
        failed = true;
        ASSERT_LT(n, kAllocationCount);
        const Allocation &a = kAllocations[n];
        EXPECT_EQ(i, a.step);
        want_lines.push_back(no_memory_line(a.where, a.what, accept));
        EXPECT_EQ(verdict, failure_verdict(rules.filter));
        EXPECT_EQ(context_of(c), nullptr);
        if (verdict == SMFIS_TEMPFAIL) {
          // The MTA gives up on the transaction and aborts it.
          EXPECT_EQ(mlfi_abort(c.ctx()), SMFIS_CONTINUE);
          break;
        }
      } else if (failed) {
        // Each later callback finds no message, logs it and goes on.
        want_lines.push_back(no_private_data_line(steps[i].callback, accept));
        EXPECT_EQ(verdict, SMFIS_CONTINUE);
      } else {
        EXPECT_EQ(verdict, SMFIS_CONTINUE) << steps[i].callback;
      }
    }
    disarm_allocation_failure();
    // The failed message counts once; it counts as filtered only when its
    // rules ran (the end of message was reached with the message).
    EXPECT_EQ(rules.filter.counters.failed.load(), failed ? 1u : 0u);
    EXPECT_EQ(rules.filter.counters.messages.load(), !failed || kAllocations[n].step == 7 ? 1u : 0u);
    EXPECT_EQ(mlfi_close(c.ctx()), SMFIS_CONTINUE);
    EXPECT_EQ(context_of(c), nullptr);
    EXPECT_EQ(file_lock_entries(), 0u);
    EXPECT_EQ(log.lines(), want_lines);

    const std::string stored = read_file(mailbox);
    if (failed) {
      EXPECT_EQ(stored, "");  // at most the empty file the open created
      continue;
    }
    EXPECT_EQ(n, kAllocationCount);
    using namespace std::string_literals;
    EXPECT_EQ(stored.rfind("From <ann@example.org>  ", 0), 0u);
    EXPECT_NE(stored.find("\nSubject: hi\nTo: bob@x\n\nline one\nnul\0byte\n\n\n"s), std::string::npos);
    break;
  }
}

INSTANTIATE_TEST_SUITE_P(Policies, AllocationSweep, testing::Values(1, 0));

// An action whose text cannot be made fails and says so; the other
// recipients of a per-recipient action still get theirs.
TEST(ActionOutOfMemory, ExpansionFailureFailsTheAction) {
  TempDir dir;
  struct Case {
    ActionType kind;
    std::string text;
    const char *where;
    long fail_at;  // which expansion fails
    std::size_t want_added;
    std::vector<std::string> want_entries;
  };
  const Case cases[] = {
      {ACTION_STORE_IN, dir / "%ALLTO.USER%", "mlfi_eom", 0, 0, {"b", "c"}},
      {ACTION_PIPE, "cat > /dev/null", "ActionPipe", 0, 0, {"b", "c"}},
      {ACTION_ADD_HEADER, "X-Tag: v", "ActionAddHeader", 0, 0, {"b", "c"}},
      {ACTION_ADD_HEADER, "X-Rcpt: %ALLTO%", "ActionAddHeader", 1, 2, {"b", "c"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    LogCapture log;
    FakeConnection connection;
    ActionEnv env = action_env(log.log, 0);
    MilterEditor editor(connection.ctx());
    env.editor = &editor;
    env.add_headers_enabled = true;
    StandaloneAction a(c.kind, c.text);
    auto msg = make_message("ann@x", {"a@x", "b@x", "c@x"});
    complete_record_size(*msg, 0);
    const RuleMatch match = select_recipients(*msg);
    fail_nothrow_allocation(c.fail_at);
    const int result = action_kind(c.kind).run(*a.action, env, *msg, match);
    disarm_allocation_failure();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{no_memory_line(c.where, "expanded template")});
    EXPECT_EQ(connection.added_headers.size(), c.want_added);
    EXPECT_EQ(dir.entries(), c.want_entries);
  }
}

// The walk's selection for an envelope larger than a match holds inline is
// allocated at the end of message; without it no rule runs and the message
// fails.
TEST(WalkOutOfMemory, LargeEnvelopeFailsTheMessage) {
  TempDir dir;
  for (const int accept : {1, 0}) {
    SCOPED_TRACE(accept);
    TestFilter rules(0, accept);
    Rule &rule = rules.add(single_term(FIELD_MATCH_ALL));
    add_template_action(rule, ACTION_STORE_IN, dir / "mbox");
    FakeConnection c;
    MessageInput m;
    m.sender = "<ann@x>";
    for (int i = 0; i < 300; ++i) m.recipients.push_back("<r" + std::to_string(i) + "@x>");
    feed(c, m);
    fail_nothrow_allocation(0);
    EXPECT_EQ(mlfi_eom(c.ctx()), failure_verdict(rules.filter));
    disarm_allocation_failure();
    EXPECT_EQ(rules.lines(), std::vector<std::string>{no_memory_line("mlfi_eom", "rule match", accept)});
    EXPECT_EQ(rules.filter.counters.failed.load(), 1u);
    EXPECT_EQ(context_of(c), nullptr);
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(AllocFailureSupport, DisarmedAllocatorBehavesNormally) {
  disarm_allocation_failure();
  for (int i = 0; i < 100; ++i) {
    Text text = copy_text("abc");
    ASSERT_NE(text, nullptr);
  }
  fail_nothrow_allocation(1);
  Text first = copy_text("a");
  Text second = copy_text("b");
  Text third = copy_text("c");
  disarm_allocation_failure();
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_TRUE(allocation_failure_fired());
}

}  // namespace

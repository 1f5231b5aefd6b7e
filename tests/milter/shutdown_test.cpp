// Shutdown while messages are in flight: the rules are released only once no
// message runs them, and a message that reaches its end after that is
// refused for now, unfiltered, instead of being accepted without its copies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "milter/callbacks.h"
#include "support/milter_helpers.h"

namespace {

MessageInput one_message() {
  MessageInput m;
  m.sender = "<ann@x>";
  m.recipients = {"<b@x>"};
  m.headers = {{"Subject", "hi"}};
  m.chunks = {"body\n"};
  return m;
}

// Closing is for good, so each case runs in a child process of its own.
TEST(ShutdownDeathTest, MessageEndingAfterCloseIsRefusedUnfiltered) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TempDir dir;
        TestFilter rules;
        add_template_action(rules.add(single_term(FIELD_MATCH_ALL)), ACTION_STORE_IN, dir / "mbox");
        FakeConnection c;
        feed(c, one_message());
        const bool drained = rules.filter.close_dispatch(1000);
        const sfsistat verdict = mlfi_eom(c.ctx());
        std::exit(drained && verdict == SMFIS_TEMPFAIL && context_of(c) == nullptr && !file_exists(dir / "mbox") ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(ShutdownDeathTest, CloseWaitsForARunningMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TempDir dir;
        TestFilter rules;
        add_template_action(rules.add(single_term(FIELD_MATCH_ALL)), ACTION_PIPE,
                            "touch " + (dir / "started") + "; sleep 1; cat > " + (dir / "piped"));
        FakeConnection c;
        feed(c, one_message());
        sfsistat verdict = -1;
        std::thread message([&] { verdict = mlfi_eom(c.ctx()); });
        for (int i = 0; i < 1000 && !file_exists(dir / "started"); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const bool early = rules.filter.close_dispatch(10);   // the command is still running
        const bool drained = rules.filter.close_dispatch(5000);
        message.join();
        std::exit(!early && drained && verdict == SMFIS_CONTINUE && file_exists(dir / "piped") ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace

// Whole messages on many connection threads at once, as the milter library
// runs them: capture, rule evaluation and every kind of action (a shared
// mailbox, per-recipient mailboxes, a failing Store In that logs, a Pipe, an
// added header) with the verbose trace on. Every record must come out whole
// and once, every log line whole, every verdict right. Run under
// ThreadSanitizer by scripts/test, which then also checks for data races.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "actions/file_lock.h"
#include "milter/callbacks.h"
#include "message/message_context.h"
#include "support/fake_smfi.h"
#include "support/milter_helpers.h"

namespace {

constexpr int kThreads = 8;
constexpr int kMessages = 40;

std::string sender_of(int t, int m) { return "t" + std::to_string(t) + "m" + std::to_string(m) + "@x"; }

MessageInput message_of(int t, int m) {
  MessageInput input;
  input.sender = "<" + sender_of(t, m) + ">";
  input.recipients = {"<T" + std::to_string(t) + "@x>"};
  input.headers = {{"Subject", "message " + std::to_string(m)}, {"X-Thread", std::to_string(t)}};
  // Larger than a stdio buffer: each record takes several writes.
  input.chunks = {std::string(3000 + 131 * m, static_cast<char>('a' + t)), "\nend\n"};
  return input;
}

// What follows the From line of the record of message (t, m).
std::string record_rest(int t, int m) {
  const MessageInput input = message_of(t, m);
  std::string rest;
  for (const auto &[name, value] : input.headers) rest += name + ": " + value + "\n";
  rest += "\n";
  for (const auto &chunk : input.chunks) rest += chunk;
  return rest + "\n\n";
}

// Splits a mailbox into records keyed by sender, checking that each is one
// of the expected messages, whole, and there once.
std::map<std::string, int> records_of(const std::string &file) {
  std::map<std::string, int> seen;
  std::size_t offset = 0;
  while (offset < file.size()) {
    EXPECT_EQ(file.compare(offset, 6, "From <"), 0) << "at " << offset;
    const std::size_t close = file.find('>', offset);
    const std::size_t line_end = file.find('\n', offset);
    if (close == std::string::npos || line_end == std::string::npos) {
      ADD_FAILURE() << "cut record at " << offset;
      break;
    }
    const std::string sender = file.substr(offset + 6, close - offset - 6);
    int t = -1, m = -1;
    if (std::sscanf(sender.c_str(), "t%dm%d@x", &t, &m) != 2) {
      ADD_FAILURE() << "unknown sender " << sender << " at " << offset;
      break;
    }
    const std::string rest = record_rest(t, m);
    if (file.compare(line_end + 1, rest.size(), rest) != 0) {
      ADD_FAILURE() << "record of " << sender << " is not whole";
      break;
    }
    ++seen[sender];
    offset = line_end + 1 + rest.size();
  }
  return seen;
}

TEST(ConcurrentDispatch, ManyConnectionsKeepEveryRecordAndLineWhole) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "per").c_str(), 0755), 0);
  TestFilter rules(1);
  LogCapture &log = rules.capture;

  Rule &all = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(all, ACTION_STORE_IN, dir / "shared");
  add_template_action(all, ACTION_ADD_HEADER, "X-Seen:%FROM.USER%");
  add_template_action(all, ACTION_PIPE, "cat > /dev/null");
  Rule &each = rules.add(single_term(FIELD_TO, OP_ENDS, "@x"));
  add_template_action(each, ACTION_STORE_IN, dir / "per/%ALLTO.USER%");
  Rule &failing = rules.add(single_term(FIELD_MATCH_ALL));
  add_template_action(failing, ACTION_STORE_IN, dir / "missing/box");

  std::vector<FakeConnection> connections(kThreads);
  for (FakeConnection &c : connections) negotiate(c);
  std::vector<std::vector<sfsistat>> verdicts(kThreads);
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int m = 0; m < kMessages; ++m) {
        feed(connections[static_cast<std::size_t>(t)], message_of(t, m));
        verdicts[static_cast<std::size_t>(t)].push_back(mlfi_eom(connections[static_cast<std::size_t>(t)].ctx()));
      }
    });
  for (auto &thread : threads) thread.join();
  const std::string trace = testing::internal::GetCapturedStdout();

  // Each message's trace is three lines, but lines of different threads may
  // interleave; only their number is fixed.
  EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 3 * kThreads * kMessages);

  const std::map<std::string, int> shared = records_of(read_file(dir / "shared"));
  EXPECT_EQ(shared.size(), static_cast<std::size_t>(kThreads * kMessages));
  for (const auto &[sender, count] : shared) EXPECT_EQ(count, 1) << sender;
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    const FakeConnection &c = connections[static_cast<std::size_t>(t)];
    EXPECT_EQ(verdicts[static_cast<std::size_t>(t)], std::vector<sfsistat>(kMessages, SMFIS_CONTINUE));
    EXPECT_EQ(context_of(c), nullptr);
    EXPECT_EQ(records_of(read_file(dir / ("per/t" + std::to_string(t)))).size(), static_cast<std::size_t>(kMessages));
    ASSERT_EQ(c.added_headers.size(), static_cast<std::size_t>(kMessages));
    for (int m = 0; m < kMessages; ++m)
      EXPECT_EQ(c.added_headers[static_cast<std::size_t>(m)].second,
                "t" + std::to_string(t) + "m" + std::to_string(m));
  }

  const std::string failed = error_line("mlfi_eom", "Could not open file '" + (dir / "missing/box") + "'.", ENOENT);
  const std::vector<std::string> lines = log.lines();
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kMessages));
  for (const std::string &line : lines) EXPECT_EQ(line, failed);
  EXPECT_EQ(file_lock_entries(), 0u);
}

}  // namespace

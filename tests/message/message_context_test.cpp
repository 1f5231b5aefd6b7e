// Message builders: the header value that header tests see, the size that
// Size tests see beside the record length, and the message time kept at end
// of message.
#include "message/message_context.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "message/record.h"
#include "support/milter_helpers.h"

namespace {

TEST(MessageBuilders, HeaderTestsSeeTheValueUnfoldedTrimmedAndLowerCased) {
  struct Case {
    const char *value;  // null: the MTA gave none
    const char *want_tested;
  } cases[] = {
      {"Plain", "plain"},
      {nullptr, ""},
      {"", ""},
      {" \t ", ""},
      {"  Padded Both Ends \t", "padded both ends"},
      {"Developers\r\n <DEV.example.org>", "developers <dev.example.org>"},
      {"from a\n\tby b\r\n\tfor <X@Y>", "from a\tby b\tfor <x@y>"},
      {"\r\n folded at once\r\n ", "folded at once"},
      {"a\rb\nc", "abc"},
      {"caf\xC3\x89 \xFF", "caf\xC3\x89 \xFF"},  // only A to Z are lower-cased
  };
  for (const Case &c : cases) {
    MessageContext msg;
    ASSERT_EQ(add_header(msg, "X-Test", c.value), nullptr);
    const HeaderField &header = *msg.headers.tail;
    EXPECT_STREQ(header.value.get(), c.value != nullptr ? c.value : "") << "the record keeps the value as received";
    ASSERT_NE(header.tested, nullptr);
    EXPECT_STREQ(header.tested, c.want_tested) << (c.value != nullptr ? c.value : "(none)");
  }
}

TEST(MessageBuilders, MessageSizeIsTheRecordLessItsFromLineAndFinalNewlines) {
  struct Case {
    const char *name;
    MessageInput input;
    std::int64_t want_size;
  } cases[] = {
      {"no headers, no body", {"<>", {}, {}, {}}, 1},
      {"one header", {"<a@b>", {"<r@x>"}, {{"Subject", "hi"}}, {}}, 12 + 1},
      {"folded header and two chunks",
       {"<Ann@Example.org>", {}, {{"Received", "from a\r\n\tby b"}, {"X", ""}}, {"0123456789", "abcde"}},
       (8 + 2 + 13 + 1) + (1 + 2 + 1) + 1 + 15},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto msg = build_message(c.input);
    const std::time_t when = 1700000000;
    end_message(*msg, when);
    EXPECT_EQ(msg->message_size, c.want_size);
    const std::int64_t from_line = static_cast<std::int64_t>(std::strlen(msg->from.get()) +
                                                             std::strlen(format_ctime(when).text)) +
                                   kRecordFromLineFixed + kRecordDateLineEnd;
    EXPECT_EQ(msg->message_size, msg->record_size - from_line - 2);
    EXPECT_EQ(msg->message_time, when);
  }
}

}  // namespace

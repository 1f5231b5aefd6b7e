// Golden mailbox records: messages captured through the callbacks and written
// by PrintMail must come out byte for byte, exactly record_size bytes long;
// the same for the Maildir file and its counted size.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "message/record.h"
#include "support/milter_helpers.h"

namespace {

using namespace std::string_literals;

// 1700000000 is Tue Nov 14 22:13:20 2023 in UTC.
constexpr std::time_t kWhen = 1700000000;

class MailboxRecord : public testing::Test {
 protected:
  void SetUp() override {
    const char *tz = std::getenv("TZ");
    had_tz_ = tz != nullptr;
    if (had_tz_) saved_tz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", saved_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  // The record PrintMail writes for `msg`.
  static std::string print(const MessageContext &msg, const Log &log = Log()) { return record_text(msg, kWhen, log); }

 private:
  bool had_tz_ = false;
  std::string saved_tz_;
};

TEST_F(MailboxRecord, GoldenRecordsMatchTheirCount) {
  struct Case {
    const char *name;
    MessageInput input;
    std::string want;
    bool warns;  // no headers
  };
  const std::string date = "Tue Nov 14 22:13:20 2023\n";
  const Case cases[] = {
      {"null sender, no headers, empty body", {"<>", {}, {}, {}}, "From <>  " + date + "\n\n\n", true},
      {"counted example",
       {"<ab>", {"<r@x>"}, {{"Subject", "hi"}, {"X", ""}}, {"0123456789", "abcde"}},
       "From <ab>  " + date + "Subject: hi\nX: \n\n0123456789abcde\n\n",
       false},
      {"NUL bytes, From line and no final newline in the body",
       {"<Ann@B>", {}, {{"H", "v"}}, {"From me\n"s, "a\0b"s}},
       "From <ann@b>  " + date + "H: v\n\nFrom me\na\0b\n\n"s,
       false},
      {"header text kept as received",
       {"x@y", {}, {{"Received", "from a\r\n\tby b"}, {"subject", "  two  spaces"}}, {"body\r\n"}},
       "From <x@y>  " + date + "Received: from a\r\n\tby b\nsubject:   two  spaces\n\nbody\r\n\n\n",
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const auto msg = build_message(c.input);
    end_message(*msg, kWhen);
    const std::string record = print(*msg, log.log);
    EXPECT_EQ(record, c.want);
    EXPECT_EQ(static_cast<std::int64_t>(record.size()), msg->record_size);
    const auto lines = log.lines();
    if (c.warns) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0].rfind("<time> Quorvane(PrintMail): WARNING - Message contains no headers. (errno: ", 0), 0u)
          << lines[0];
    } else {
      EXPECT_TRUE(lines.empty());
    }
  }
}

TEST_F(MailboxRecord, CountedExampleIsSeventyBytes) {
  const auto msg =
      build_message({"<ab>", {}, {{"Subject", "hi"}, {"X", ""}}, {std::string(10, 'x'), std::string(5, 'y')}});
  EXPECT_EQ(msg->record_size, 42);
  end_message(*msg, kWhen);
  EXPECT_EQ(msg->record_size, 70);
  EXPECT_EQ(print(*msg).size(), 70u);
}

// The Maildir file: the same headers as the record after a Return-Path
// line, and the body with CR LF turned into LF wherever the chunks split it.
TEST(MaildirFile, GoldenFilesMatchTheirSize) {
  struct Case {
    const char *name;
    MessageInput input;
    std::string want;
  };
  const Case cases[] = {
      {"null sender, no headers, empty body", {"<>", {}, {}, {}}, "Return-Path: <>\n\n"},
      {"CR LF inside a chunk, headers as the record has them",
       {"<Ann@B>", {"<r@x>"}, {{"Received", "from a\r\n\tby b"}, {"X", ""}}, {"one\r\ntwo\r\n"}},
       "Return-Path: <ann@b>\nReceived: from a\r\n\tby b\nX: \n\none\ntwo\n"},
      {"a pair split between chunks, a CR ending one chunk before other bytes",
       {"a@b", {}, {{"S", "v"}}, {"one\r", "\ntwo\r", "x\r", "\r\n"}},
       "Return-Path: <a@b>\nS: v\n\none\ntwo\rx\r\n"},
      {"lone CRs, LF alone, NUL bytes, no final line end, CR last",
       {"a@b", {}, {{"S", "v"}}, {"a\rb\nc\0d"s, "", "e\r"}},
       "Return-Path: <a@b>\nS: v\n\na\rb\nc\0de\r"s},
      {"a From line in the body stays as it is", {"a@b", {}, {{"S", "v"}}, {"From me\r\n"}},
       "Return-Path: <a@b>\nS: v\n\nFrom me\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto msg = build_message(c.input);
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&buffer, &size);
    PrintMaildirMessage(out, *msg);
    std::fclose(out);
    const std::string file(buffer, size);
    std::free(buffer);
    EXPECT_EQ(file, c.want);
    EXPECT_EQ(maildir_message_size(*msg), static_cast<std::int64_t>(file.size()));
  }
}

// With the envelope: the sender and every recipient as captured, in order,
// after the From line and after Return-Path; control bytes become "_".
TEST_F(MailboxRecord, EnvelopeLinesComeFirstInBothWriters) {
  struct Case {
    const char *name;
    MessageInput input;
    std::string want_lines;
  };
  const Case cases[] = {
      {"the whole envelope, in order", {"<Ann@B>", {"<Bob@X>", "carol@y", "bcc@z"}, {{"S", "v"}}, {"b\r\n"}},
       "X-Envelope-From: <ann@b>\nX-Envelope-To: <bob@x>\nX-Envelope-To: <carol@y>\nX-Envelope-To: <bcc@z>\n"},
      {"null sender", {"<>", {"r@x"}, {{"S", "v"}}, {}}, "X-Envelope-From: <>\nX-Envelope-To: <r@x>\n"},
      {"no line of its own", {"a\x7f\tb@c", {"x\nFrom: evil\x7f@y\t"}, {{"S", "v"}}, {}},
       "X-Envelope-From: <a__b@c>\nX-Envelope-To: <x_from: evil_@y_>\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto msg = build_message(c.input);
    end_message(*msg, kWhen);
    const std::string plain = print(*msg);
    const std::size_t after_from = plain.find('\n') + 1;
    std::string want = plain;
    want.insert(after_from, c.want_lines);
    EXPECT_EQ(record_text(*msg, kWhen, Log(), true), want);
    EXPECT_EQ(envelope_lines_size(*msg), static_cast<std::int64_t>(c.want_lines.size()));

    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&buffer, &size);
    PrintMaildirMessage(out, *msg, true);
    std::fclose(out);
    const std::string file(buffer, size);
    std::free(buffer);
    EXPECT_EQ(file.substr(file.find('\n') + 1, c.want_lines.size()), c.want_lines);
    EXPECT_EQ(maildir_message_size(*msg, true), static_cast<std::int64_t>(file.size()));
    EXPECT_EQ(maildir_message_size(*msg, false) + envelope_lines_size(*msg), static_cast<std::int64_t>(file.size()));
  }
}

}  // namespace

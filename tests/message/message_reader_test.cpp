// The message reader: header splitting, folded lines, the body with CR LF
// line ends in milter-sized chunks, and a failed allocation handed back.
#include "message/message_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/alloc_failure.h"

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Read {
  Headers headers;
  std::string body;
  std::vector<std::size_t> chunks;  // each chunk's length
};

Read read(const std::string &raw) {
  MessageContext msg;
  EXPECT_EQ(add_saved_message(msg, raw.data(), raw.size()), nullptr);
  Read got;
  for (const HeaderField *h = msg.headers.head.get(); h != nullptr; h = h->next.get())
    got.headers.emplace_back(h->name.get(), h->value.get());
  for (const BodyChunk *c = msg.body.head.get(); c != nullptr; c = c->next.get()) {
    got.body.append(c->data.get(), static_cast<std::size_t>(c->length));
    got.chunks.push_back(static_cast<std::size_t>(c->length));
  }
  return got;
}

TEST(MessageReader, SplitsHeadersAndEndsBodyLinesInCrLf) {
  struct Case {
    const char *name;
    std::string raw;
    Headers want_headers;
    std::string want_body;
  } cases[] = {
      {"one space after the colon dropped, no more",
       "Subject: hello\nX-NoSpace:value\nX-Two:  two\nX-Empty:\n\nbody\n",
       {{"Subject", "hello"}, {"X-NoSpace", "value"}, {"X-Two", " two"}, {"X-Empty", ""}},
       "body\r\n"},
      {"folded lines joined with LF, blanks kept",
       "Subject: hello\r\n\tworld\r\n  again\r\nTo: a@x\r\n\r\nb\r\n",
       {{"Subject", "hello\n\tworld\n  again"}, {"To", "a@x"}},
       "b\r\n"},
      {"bare LF, CR LF and a last line without a break",
       "A: 1\n\nfirst\nsecond\r\n\nlast",
       {{"A", "1"}},
       "first\r\nsecond\r\n\r\nlast\r\n"},
      {"a line that is no header starts the body",
       "A: 1\nnot a header\nB: 2\n",
       {{"A", "1"}},
       "not a header\r\nB: 2\r\n"},
      {"a name with a blank is no header", "Bad Name: x\n", {}, "Bad Name: x\r\n"},
      {"a mailbox From line is skipped", "From ann@x Thu Jan  1 00:00:00 1970\nA: 1\n\nb\n", {{"A", "1"}}, "b\r\n"},
      {"no body", "A: 1\n", {{"A", "1"}}, ""},
      {"nothing at all", "", {}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Read got = read(c.raw);
    EXPECT_EQ(got.headers, c.want_headers);
    EXPECT_EQ(got.body, c.want_body);
  }
}

TEST(MessageReader, HandsTheBodyOutInMilterSizedChunks) {
  const std::string line(99, 'x');
  std::string raw = "A: 1\n\n";
  for (int i = 0; i < 1000; ++i) raw += line + "\n";  // 101 bytes a line once CR is added
  const Read got = read(raw);
  EXPECT_EQ(got.body.size(), 101000u);
  EXPECT_EQ(got.chunks, (std::vector<std::size_t>{kBodyChunkSize, 101000 - kBodyChunkSize}));
}

TEST(MessageReader, HandsBackWhatCouldNotBeAllocated) {
  const std::string raw = "A: 1\nB: 2\n\nbody\n";
  bool failed_somewhere = false;
  for (long n = 0; n < 50; ++n) {
    MessageContext msg;
    fail_nothrow_allocation(n);
    const char *failed = add_saved_message(msg, raw.data(), raw.size());
    const bool fired = allocation_failure_fired();
    disarm_allocation_failure();
    if (!fired) {
      EXPECT_EQ(failed, nullptr);
      break;
    }
    failed_somewhere = true;
    EXPECT_NE(failed, nullptr) << "allocation " << n;
  }
  EXPECT_TRUE(failed_somewhere);
}

}  // namespace

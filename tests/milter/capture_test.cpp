// Message capture against the fake milter connection: address normalisation,
// what is kept and in which order, record_size, release, and the verdicts of
// the error policy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "milter/callbacks.h"
#include "message/message_context.h"
#include "support/fake_smfi.h"
#include "support/milter_helpers.h"

namespace {

TEST(NormalizeAddress, Table) {
  struct Case {
    const char *in;
    const char *want;
  };
  const Case cases[] = {
      {"<Ann.Box>", "ann.box"},
      {"Ann.Box", "ann.box"},
      {"<>", ""},
      {"<ann.Box", "<ann.box"},
      {"Ann>", "ann>"},
      {"<", "<"},
      {">", ">"},
      {"", ""},
      {"<<A>>", "<a>"},
      {" <A@B> ", " <a@b> "},
      {"<\xC3\x84X@\xFF.DE>", "\xC3\x84x@\xFF.de"},
      {"<\"Q Z\"@[1.2.3.4]>", "\"q z\"@[1.2.3.4]"},
  };
  for (const Case &c : cases) {
    Text got = normalize_address(c.in);
    ASSERT_NE(got, nullptr) << c.in;
    EXPECT_STREQ(got.get(), c.want) << c.in;
  }
}

TEST(Capture, KeepsEverythingInArrivalOrder) {
  TestFilter filter;
  LogCapture &log = filter.capture;
  FakeConnection c;
  c.macros["{auth_authen}"] = "Bob.Smith";
  MessageInput m;
  m.sender = "<Ann@Example.ORG>";
  for (int i = 0; i < 300; ++i) {
    m.recipients.push_back("<R" + std::to_string(i) + "@X>");
    m.headers.emplace_back("H" + std::to_string(i), "V" + std::to_string(i));
    m.chunks.push_back("chunk" + std::to_string(i) + "\n");
  }
  feed(c, m);
  MessageContext *msg = context_of(c);
  ASSERT_NE(msg, nullptr);
  EXPECT_STREQ(msg->smtp_sender.get(), "Bob.Smith");
  EXPECT_STREQ(msg->from.get(), "ann@example.org");
  int i = 0;
  for (const Recipient *r = msg->recipients.head.get(); r; r = r->next.get(), ++i) {
    EXPECT_EQ(r->address.get(), "r" + std::to_string(i) + "@x");
  }
  EXPECT_EQ(i, 300);
  i = 0;
  for (const HeaderField *h = msg->headers.head.get(); h; h = h->next.get(), ++i) {
    EXPECT_EQ(h->name.get(), "H" + std::to_string(i));
    EXPECT_EQ(h->value.get(), "V" + std::to_string(i));
  }
  EXPECT_EQ(i, 300);
  i = 0;
  for (const BodyChunk *b = msg->body.head.get(); b; b = b->next.get(), ++i)
    EXPECT_EQ(std::string(b->data.get(), static_cast<size_t>(b->length)), "chunk" + std::to_string(i) + "\n");
  EXPECT_EQ(i, 300);
  EXPECT_EQ(mlfi_abort(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(context_of(c), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST(Capture, RecordSizeCountsEachPart) {
  TestFilter filter;
  LogCapture &log = filter.capture;
  FakeConnection c;
  ASSERT_EQ(call_envfrom(c, "<ab>"), SMFIS_CONTINUE);
  EXPECT_EQ(context_of(c)->record_size, 11);
  EXPECT_EQ(context_of(c)->smtp_sender, nullptr);
  ASSERT_EQ(call_envrcpt(c, "<rcpt@x>"), SMFIS_CONTINUE);
  EXPECT_EQ(context_of(c)->record_size, 11);  // recipients are not in the record
  ASSERT_EQ(call_header(c, "Subject", "hi"), SMFIS_CONTINUE);
  ASSERT_EQ(call_header(c, "X", ""), SMFIS_CONTINUE);
  ASSERT_EQ(call_body(c, std::string(10, 'a')), SMFIS_CONTINUE);
  ASSERT_EQ(call_body(c, std::string(5, '\0')), SMFIS_CONTINUE);
  EXPECT_EQ(context_of(c)->record_size, 42);
  EXPECT_EQ(mlfi_close(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(context_of(c), nullptr);

  ASSERT_EQ(call_envfrom(c, "<>"), SMFIS_CONTINUE);
  EXPECT_STREQ(context_of(c)->from.get(), "");
  EXPECT_EQ(context_of(c)->record_size, 9);
  EXPECT_EQ(mlfi_abort(c.ctx()), SMFIS_CONTINUE);
  EXPECT_TRUE(log.lines().empty());
}

TEST(Capture, HeaderWithoutNameOrValue) {
  TestFilter filter;
  LogCapture &log = filter.capture;
  FakeConnection c;
  ASSERT_EQ(call_envfrom(c, "<a@b>"), SMFIS_CONTINUE);
  const std::int64_t before = context_of(c)->record_size;

  char value[] = "ignored";
  testing::internal::CaptureStderr();
  EXPECT_EQ(mlfi_header(c.ctx(), nullptr, value), SMFIS_CONTINUE);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Quorvane(mlfi_header): WARNING - Header name is not set, ignoring this header.\n");
  EXPECT_TRUE(context_of(c)->headers.empty());
  EXPECT_EQ(context_of(c)->record_size, before);

  char name[] = "X-Empty";
  EXPECT_EQ(mlfi_header(c.ctx(), name, nullptr), SMFIS_CONTINUE);
  ASSERT_FALSE(context_of(c)->headers.empty());
  EXPECT_STREQ(context_of(c)->headers.head->value.get(), "");
  EXPECT_EQ(context_of(c)->record_size, before + 7 + 0 + 3);

  ASSERT_EQ(call_header(c, "Later", "kept"), SMFIS_CONTINUE);
  EXPECT_STREQ(context_of(c)->headers.tail->name.get(), "Later");

  char *no_recipient[] = {nullptr};
  EXPECT_EQ(mlfi_envrcpt(c.ctx(), no_recipient), SMFIS_CONTINUE);
  EXPECT_TRUE(context_of(c)->recipients.empty());
  EXPECT_EQ(mlfi_abort(c.ctx()), SMFIS_CONTINUE);
  EXPECT_TRUE(log.lines().empty());
}

TEST(Capture, TwoTransactionsOnOneConnectionShareNothing) {
  TestFilter filter;
  LogCapture &log = filter.capture;
  FakeConnection c;
  ASSERT_EQ(call_envfrom(c, "<first@x>"), SMFIS_CONTINUE);
  ASSERT_EQ(call_envrcpt(c, "<one@x>"), SMFIS_CONTINUE);
  ASSERT_EQ(mlfi_abort(c.ctx()), SMFIS_CONTINUE);

  ASSERT_EQ(call_envfrom(c, "<second@x>"), SMFIS_CONTINUE);
  EXPECT_TRUE(context_of(c)->recipients.empty());
  // A context the MTA never ended is replaced, not leaked.
  ASSERT_EQ(call_envfrom(c, "<third@x>"), SMFIS_CONTINUE);
  EXPECT_STREQ(context_of(c)->from.get(), "third@x");
  EXPECT_EQ(mlfi_close(c.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(context_of(c), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

// Abort and close outside a transaction: Postfix aborts at RSET and QUIT even
// when no MAIL FROM came, so neither may log or refuse anything.
TEST(Capture, AbortAndCloseWithoutContextAreSilent) {
  for (int accept : {1, 0}) {
    TestFilter filter(0, accept);
    LogCapture &log = filter.capture;
    FakeConnection c;
    EXPECT_EQ(mlfi_abort(c.ctx()), SMFIS_CONTINUE);
    EXPECT_EQ(mlfi_close(c.ctx()), SMFIS_CONTINUE);
    EXPECT_TRUE(log.lines().empty());
  }
}

TEST(Verdict, EveryRowOfTheErrorPolicy) {
  struct Row {
    const char *name;
    sfsistat (*call)(FakeConnection &);
    const char *where;  // LOG_NO_PRIVATE_DATA line expected, or null
    bool fails;         // SMFIS_TEMPFAIL under -a
  };
  const Row rows[] = {
      {"envrcpt without context", [](FakeConnection &c) { return call_envrcpt(c, "<a@b>"); }, "mlfi_envrcpt", true},
      {"header without context", [](FakeConnection &c) { return call_header(c, "A", "b"); }, "mlfi_header", true},
      {"body without context", [](FakeConnection &c) { return call_body(c, "x"); }, "mlfi_body", true},
      {"eom without context", [](FakeConnection &c) { return mlfi_eom(c.ctx()); }, "mlfi_eom", true},
      {"cleanup without context", [](FakeConnection &c) { return mlfi_cleanup(c.ctx(), 1); }, "mlfi_cleanup", true},
      {"cleanup after success",
       [](FakeConnection &c) {
         call_envfrom(c, "<a@b>");
         return mlfi_cleanup(c.ctx(), 1);
       },
       nullptr, false},
      {"cleanup after failure",
       [](FakeConnection &c) {
         call_envfrom(c, "<a@b>");
         return mlfi_cleanup(c.ctx(), 0);
       },
       nullptr, true},
      {"abort with context",
       [](FakeConnection &c) {
         call_envfrom(c, "<a@b>");
         return mlfi_abort(c.ctx());
       },
       nullptr, false},
      {"close with context",
       [](FakeConnection &c) {
         call_envfrom(c, "<a@b>");
         return mlfi_close(c.ctx());
       },
       nullptr, false},
  };
  for (int accept : {1, 0}) {
    for (const Row &row : rows) {
      SCOPED_TRACE(std::string(row.name) + " accept_on_error=" + std::to_string(accept));
      TestFilter filter(0, accept);
      LogCapture &log = filter.capture;
      FakeConnection c;
      const sfsistat want = row.fails && accept == 0 ? SMFIS_TEMPFAIL : SMFIS_CONTINUE;
      EXPECT_EQ(row.call(c), want);
      EXPECT_EQ(context_of(c), nullptr);
      std::vector<std::string> want_lines;
      if (row.where) want_lines.push_back(no_private_data_line(row.where, accept));
      EXPECT_EQ(log.lines(), want_lines);
    }
  }
}

}  // namespace

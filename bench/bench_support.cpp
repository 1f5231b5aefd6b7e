// Inputs shared by the micro-benchmarks (see bench_support.h).
#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frontend/log.h"
#include "rules/parser.h"

std::string make_rule_text(int count) {
  std::string text;
  char line[512];
  for (int i = 0; i < count; ++i) {
    switch (i % 5) {
      case 0:
        std::snprintf(line, sizeof line,
                      "{ From is \"user%d@example%d.test\" } Store In \"/var/mail/archive/%d/%%FROM.USER%%\";\n",
                      i, i % 97, i);
        break;
      case 1:
        std::snprintf(line, sizeof line,
                      "{ To ends \"@dept%d.example.test\" and ! From contains \"spam\" }\n"
                      "  Store In \"/srv/mail/dept%d/%%ALLTO.USER%%.mbox\", Halt;\n",
                      i, i);
        break;
      case 2:
        std::snprintf(line, sizeof line,
                      "{ Sender starts \"svc%d\" or ( From ends \"@partner%d.test\" and To is \"in%d@example.test\" ) }"
                      " Pipe \"/usr/local/bin/deliver --rule %d %%FROM%% %%TO%%\";\n",
                      i, i, i, i);
        break;
      case 3:
        std::snprintf(line, sizeof line,
                      "# list %d\n{ Not matched and To contains \"list%d\" } Add Header \"X-List-%d: %%TO.USER%%\";\n",
                      i, i, i);
        break;
      default:
        std::snprintf(line, sizeof line,
                      "{ !( From ends \"@example.test\" or To starts \"nobody%d\" ) and Sender is \"robot%d\" }"
                      " Store In \"/srv/mail/robots/%%SENDER%%\";\n",
                      i, i);
        break;
    }
    text += line;
  }
  return text;
}

std::string make_uniform_rule_text(int count) {
  std::string text;
  char line[512];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line,
                  "{ ( From is \"user%d@example%d.test\" or To ends \"@dept%d.example.invalid\" ) and ! Sender starts "
                  "\"svc%d\" } Store In \"/srv/mail/%d/%%FROM.USER%%\";\n",
                  i, i % 97, i, i, i);
    text += line;
  }
  return text;
}

void parse_or_die(const std::string &text, RuleList &rules) {
  std::string error;
  if (parse_rule_text(text.data(), text.size(), rules, stderr, error) == 0) {
    std::fprintf(stderr, "rule text does not parse: %s", error.c_str());
    std::abort();
  }
}

namespace {

Text text_of(const char *s) { return copy_text(s); }

void add_header(MessageContext &msg, const char *name, const char *value) {
  auto header = std::make_unique<HeaderField>();
  header->name = text_of(name);
  header->value = text_of(value);
  msg.record_size += static_cast<std::int64_t>(std::strlen(name) + std::strlen(value) + 3);
  msg.headers.append(std::move(header));
}

}  // namespace

std::unique_ptr<MessageContext> make_message(std::size_t body_bytes, std::size_t chunk_bytes) {
  auto msg = std::make_unique<MessageContext>();
  msg->smtp_sender = text_of("sender");
  msg->from = text_of("sender@example.test");
  msg->record_size = static_cast<std::int64_t>(std::strlen(msg->from.get()) + 9);
  for (const char *address : {"alice@example.test", "bob@dept7.example.test", "carol@other.test"}) {
    auto recipient = std::make_unique<Recipient>();
    recipient->address = text_of(address);
    msg->recipients.append(std::move(recipient));
  }
  add_header(*msg, "Received",
             "from client.example.test (client.example.test [192.0.2.10])\n\tby mx.example.test (Postfix) with "
             "ESMTPS id 4QZ1x23ABCz9sWN\n\tfor <alice@example.test>; Tue,  8 Dec 2026 10:00:00 +0000 (UTC)");
  add_header(*msg, "DKIM-Signature",
             "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.test; s=mail; t=1796724000;\n\tbh=47DEQpj8HBSa+"
             "/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; h=From:To:Subject:Date;\n\tb=dGhpcyBpcyBub3QgYSByZWFsIHNpZ25hdHVyZQ==");
  add_header(*msg, "Date", "Tue, 08 Dec 2026 10:00:00 +0000");
  add_header(*msg, "From", "Sender Name <sender@example.test>");
  add_header(*msg, "To", "alice@example.test, bob@dept7.example.test");
  add_header(*msg, "Cc", "carol@other.test");
  add_header(*msg, "Subject", "Quarterly figures and the plan for next year");
  add_header(*msg, "Message-ID", "<20261208100000.4QZ1x23ABCz9sWN@example.test>");
  add_header(*msg, "MIME-Version", "1.0");
  add_header(*msg, "Content-Type", "text/plain; charset=utf-8");
  add_header(*msg, "Content-Transfer-Encoding", "8bit");
  add_header(*msg, "X-Mailer", "bench");

  static const char kLine[] = "The quick brown fox jumps over the lazy dog, again and again and again.\r\n";
  std::string body;
  while (body.size() < body_bytes) body += kLine;
  body.resize(body_bytes);
  for (std::size_t at = 0; at < body.size(); at += chunk_bytes) {
    const std::size_t length = std::min(chunk_bytes, body.size() - at);
    auto chunk = std::make_unique<BodyChunk>();
    chunk->data.reset(new char[length]);
    std::memcpy(chunk->data.get(), body.data() + at, length);
    chunk->length = static_cast<std::int32_t>(length);
    msg->record_size += static_cast<std::int64_t>(length);
    msg->body.append(std::move(chunk));
  }
  msg->record_size += static_cast<std::int64_t>(std::strlen(format_ctime(0).text) + 1 + 3);
  return msg;
}

// Inputs shared by the micro-benchmarks (see bench_support.h).
#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::string make_header_rule_text(int count) {
  std::string text;
  char line[512];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line,
                  "{ ( Header List-Id contains \"<list%d.example.test>\" or Header Subject starts \"[list%d]\" ) and "
                  "! Header Received contains \"by mx%d.example.invalid\" }"
                  " Store In \"/srv/lists/%d/%%YEAR%%-%%MONTH%%\";\n",
                  i, i, i, i);
    text += line;
  }
  return text;
}

std::string make_regex_rule_text(int count) {
  std::string text;
  char line[512];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line,
                  "{ ( From regex \"^user%d@example%d\\\\.test$\" or"
                  " Header Subject regex \"^\\\\[list%d\\\\]\\\\s\" ) and "
                  "! Sender regex \"^svc%d-\" } Store In \"/srv/mail/%d/%%FROM.USER%%\";\n",
                  i, i % 97, i, i, i);
    text += line;
  }
  return text;
}

void parse_or_die(const std::string &text, RuleList &rules) {
  RuleSet set;
  std::string error;
  if (!parse_rule_text(text.data(), text.size(), set, stderr, error)) {
    std::fprintf(stderr, "rule text does not parse: %s", error.c_str());
    std::abort();
  }
  rules = std::move(set.rules);
}

namespace {

// A builder's result: nothing, or the end of the run.
void built(const char *failed) {
  if (failed == nullptr) return;
  std::fprintf(stderr, "out of memory for %s\n", failed);
  std::abort();
}

}  // namespace

std::unique_ptr<MessageContext> make_message(std::size_t body_bytes, std::size_t chunk_bytes) {
  auto msg = std::make_unique<MessageContext>();
  built(set_smtp_sender(*msg, "sender"));
  built(set_sender(*msg, "sender@example.test"));
  for (const char *address : {"alice@example.test", "bob@dept7.example.test", "carol@other.test"})
    built(add_recipient(*msg, address));
  const auto add_header = [&msg](const char *name, const char *value) { built(::add_header(*msg, name, value)); };
  add_header("Received",
             "from client.example.test (client.example.test [192.0.2.10])\n\tby mx.example.test (Postfix) with "
             "ESMTPS id 4QZ1x23ABCz9sWN\n\tfor <alice@example.test>; Tue,  8 Dec 2026 10:00:00 +0000 (UTC)");
  add_header("DKIM-Signature",
             "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.test; s=mail; t=1796724000;\n\tbh=47DEQpj8HBSa+"
             "/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; h=From:To:Subject:Date;\n\tb=dGhpcyBpcyBub3QgYSByZWFsIHNpZ25hdHVyZQ==");
  add_header("Date", "Tue, 08 Dec 2026 10:00:00 +0000");
  add_header("From", "Sender Name <sender@example.test>");
  add_header("To", "alice@example.test, bob@dept7.example.test");
  add_header("Cc", "carol@other.test");
  add_header("Subject", "Quarterly figures and the plan for next year");
  add_header("Message-ID", "<20261208100000.4QZ1x23ABCz9sWN@example.test>");
  add_header("MIME-Version", "1.0");
  add_header("Content-Type", "text/plain; charset=utf-8");
  add_header("Content-Transfer-Encoding", "8bit");
  add_header("X-Mailer", "bench");

  static const char kLine[] = "The quick brown fox jumps over the lazy dog, again and again and again.\r\n";
  std::string body;
  while (body.size() < body_bytes) body += kLine;
  body.resize(body_bytes);
  for (std::size_t at = 0; at < body.size(); at += chunk_bytes) {
    const std::size_t length = std::min(chunk_bytes, body.size() - at);
    built(add_body_chunk(*msg, body.data() + at, length));
  }
  end_message(*msg, 0);
  return msg;
}

// Helpers shared by the capture, dispatch and action tests: a captured log,
// a filter installed for the callbacks, a scratch directory (temp_dir.h),
// feeding a message through the capture callbacks of a FakeConnection, and
// hand-built messages and rules.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "actions/actions.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/trace.h"
#include "message/message_context.h"
#include "message/record.h"
#include "milter/callbacks.h"
#include "rules/rule.h"
#include "rules/rule_match.h"
#include "rules/template.h"
#include "support/fake_smfi.h"
#include "support/temp_dir.h"

// A Log with the error policy `accept` whose lines go to a temporary file.
class LogCapture {
 public:
  explicit LogCapture(int accept = 1) : log(accept != 0) {
    file_ = std::tmpfile();
    log.set_stream(file_);
  }
  ~LogCapture() {
    log.set_stream(nullptr);
    std::fclose(file_);
  }

  Log log;
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // Everything logged so far, each line's 24-character timestamp checked and
  // replaced by "<time>".
  std::vector<std::string> lines() const {
    std::fflush(file_);
    std::rewind(file_);
    std::vector<std::string> result;
    std::string line;
    for (int ch; (ch = std::fgetc(file_)) != EOF;) {
      line += static_cast<char>(ch);
      if (ch == '\n') {
        result.push_back(strip(line));
        line.clear();
      }
    }
    if (!line.empty()) result.push_back(strip(line));
    std::fseek(file_, 0, SEEK_END);
    return result;
  }

 private:
  // The ctime layout, class by class: A upper case, a lower case, 9 digit,
  // _ blank or digit; anything else stands for itself.
  static bool has_timestamp(const std::string &line) {
    static const char layout[] = "Aaa Aaa _9 99:99:99 9999 ";
    if (line.size() < sizeof layout - 1) return false;
    for (std::size_t i = 0; i + 1 < sizeof layout; ++i) {
      const char ch = line[i];
      switch (layout[i]) {
      case 'A': if (ch < 'A' || ch > 'Z') return false; break;
      case 'a': if (ch < 'a' || ch > 'z') return false; break;
      case '9': if (ch < '0' || ch > '9') return false; break;
      case '_': if (ch != ' ' && (ch < '0' || ch > '9')) return false; break;
      default: if (ch != layout[i]) return false; break;
      }
    }
    return true;
  }
  static std::string strip(const std::string &line) {
    if (!has_timestamp(line)) return "<no timestamp>" + line;
    return "<time> " + line.substr(25);
  }

  std::FILE *file_ = nullptr;
};

// The expected log lines, with the timestamp as LogCapture shows it.
inline std::string no_memory_line(const std::string &where, const std::string &what, int accept = 1) {
  return "<time> Quorvane(" + where + "): ERROR - Could not allocate memory for " + what +
         ". \t\t\t\t\tperhaps system or process memory limits have been reached? " +
         (accept ? "Mail accepted despite error" : "Mail returned to sender") + ".\n";
}
inline std::string no_private_data_line(const std::string &where, int accept = 1) {
  return "<time> Quorvane(" + where + "): ERROR - Private data was not found \t\t\t\t\tdurining " +
         (accept ? "Mail accepted despite error" : "Mail returned to sender") + ". This should never happen!\n";
}
inline std::string error_line(const std::string &where, const std::string &what, int error, int accept = 1) {
  return "<time> Quorvane(" + where + "): ERROR - " + what + " (errno: " + std::to_string(error) + ":" +
         std::strerror(error) + "). " + (accept ? "Mail accepted despite error" : "Mail returned to sender") +
         ".\n";
}

// A message as the MTA hands it over.
struct MessageInput {
  std::string sender = "<Ann@Example.org>";
  std::vector<std::string> recipients;
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::string> chunks;
};

inline sfsistat call_envfrom(FakeConnection &c, const std::string &sender) {
  std::string copy = sender;
  char *argv[] = {copy.data(), nullptr};
  return mlfi_envfrom(c.ctx(), argv);
}
inline sfsistat call_envrcpt(FakeConnection &c, const std::string &recipient) {
  std::string copy = recipient;
  char *argv[] = {copy.data(), nullptr};
  return mlfi_envrcpt(c.ctx(), argv);
}
inline sfsistat call_header(FakeConnection &c, const std::string &name, const std::string &value) {
  std::string n = name, v = value;
  return mlfi_header(c.ctx(), n.data(), v.data());
}
inline sfsistat call_body(FakeConnection &c, const std::string &chunk) {
  std::string copy = chunk;
  return mlfi_body(c.ctx(), reinterpret_cast<unsigned char *>(copy.data()), copy.size());
}

// The negotiation of an MTA that grants `actions` (by default adding headers
// and recipients).
inline void negotiate(FakeConnection &c, unsigned long actions = SMFIF_ADDHDRS | SMFIF_ADDRCPT) {
  unsigned long f0 = 0, f1 = 0, f2 = 0, f3 = 0;
  mlfi_negotiate(c.ctx(), actions, 0, 0, 0, &f0, &f1, &f2, &f3);
}

// Feeds envelope, headers and body through the capture callbacks; every
// callback must continue.
inline void feed(FakeConnection &c, const MessageInput &m) {
  ASSERT_EQ(call_envfrom(c, m.sender), SMFIS_CONTINUE);
  for (const auto &r : m.recipients) ASSERT_EQ(call_envrcpt(c, r), SMFIS_CONTINUE);
  for (const auto &[name, value] : m.headers) ASSERT_EQ(call_header(c, name, value), SMFIS_CONTINUE);
  for (const auto &chunk : m.chunks) ASSERT_EQ(call_body(c, chunk), SMFIS_CONTINUE);
}

// The message attached to the connection, or null.
// The message the builders make of `m`, as the capture callbacks would.
inline std::unique_ptr<MessageContext> build_message(const MessageInput &m) {
  auto msg = std::make_unique<MessageContext>();
  EXPECT_EQ(set_sender(*msg, m.sender.c_str()), nullptr);
  for (const auto &r : m.recipients) EXPECT_EQ(add_recipient(*msg, r.c_str()), nullptr);
  for (const auto &[name, value] : m.headers) EXPECT_EQ(add_header(*msg, name.c_str(), value.c_str()), nullptr);
  for (const auto &chunk : m.chunks) EXPECT_EQ(add_body_chunk(*msg, chunk.data(), chunk.size()), nullptr);
  return msg;
}

inline MessageContext *context_of(const FakeConnection &c) {
  auto *connection = static_cast<Connection *>(c.priv);
  return connection != nullptr ? connection->message.get() : nullptr;
}

// A message built by hand (no milter connection), for the actions.
inline std::unique_ptr<MessageContext> make_message(const std::string &from,
                                                    const std::vector<std::string> &recipients = {},
                                                    const std::string &body = "Hello\n") {
  auto msg = std::make_unique<MessageContext>();
  msg->from = copy_text(from.c_str());
  msg->record_size = static_cast<std::int64_t>(from.size()) + kRecordFromLineFixed;
  for (const auto &address : recipients) {
    auto r = std::make_unique<Recipient>();
    r->address = copy_text(address.c_str());
    msg->recipients.append(std::move(r));
  }
  auto h = std::make_unique<HeaderField>();
  h->name = copy_text("Subject");
  h->value = copy_text("test");
  msg->record_size += 7 + 4 + kRecordHeaderFixed;
  msg->headers.append(std::move(h));
  auto chunk = std::make_unique<BodyChunk>();
  chunk->data.reset(new char[body.size() + 1]);
  std::memcpy(chunk->data.get(), body.data(), body.size());
  chunk->length = static_cast<std::int32_t>(body.size());
  msg->record_size += chunk->length;
  msg->body.append(std::move(chunk));
  return msg;
}

// What a rule that selected every recipient of `msg` but those at the
// positions `unselected` leaves for its actions.
inline RuleMatch select_recipients(const MessageContext &msg, const std::vector<std::size_t> &unselected = {}) {
  std::size_t count = 0;
  for (const Recipient *r = msg.recipients.head.get(); r; r = r->next.get()) ++count;
  RuleMatch match;
  EXPECT_TRUE(match.prepare(count));
  for (std::size_t i = 0; i < count; ++i)
    if (std::find(unselected.begin(), unselected.end(), i) == unselected.end()) match.select(i);
  return match;
}

// Adds what end of message adds for `when` to a hand-built message.
inline void complete_record_size(MessageContext &msg, std::time_t when) { end_message(msg, when); }

// The record PrintMail writes for `msg` at `when` (itself checked against
// golden records).
inline std::string record_text(const MessageContext &msg, std::time_t when, const Log &log = Log(),
                               bool with_envelope = false) {
  char *buffer = nullptr;
  size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  PrintMail(out, when, msg, log, with_envelope);
  std::fclose(out);
  std::string record(buffer, size);
  std::free(buffer);
  return record;
}

// An action of `kind` whose argument is `text`, added to `rule`.
inline Action &add_template_action(Rule &rule, ActionType kind, const std::string &text) {
  Action *action = add_action(rule);
  action->kind = kind;
  EXPECT_EQ(parse_template(text.c_str(), rule, *action), 1);
  action->literal_length = template_literal_length(action->pieces.head.get());
  return *action;
}

// A condition of a single term.
inline std::unique_ptr<ConditionNode> single_term(std::uint32_t field, std::uint32_t op = OP_NONE,
                                                  const char *pattern = nullptr) {
  auto node = std::make_unique<ConditionNode>();
  node->left_term = std::make_unique<MatchTerm>();
  node->left_term->field = static_cast<TestField>(field);
  node->left_term->op = static_cast<MatchOp>(op);
  if (pattern != nullptr) node->left_term->pattern = copy_text(pattern);
  return node;
}

// A standalone action (for the action tests), parsed from `text`.
struct StandaloneAction {
  Rule rule;
  Action *action = nullptr;
  StandaloneAction(ActionType kind, const std::string &text) { action = &add_template_action(rule, kind, text); }
};

// What an action is run with in the tests: `log`, the trace (none unless
// given) and the message time.
inline ActionEnv action_env(const Log &log, std::time_t when, const Trace &trace = Trace{}) {
  static const Trace kNone;
  return ActionEnv{log, trace.out != nullptr ? trace : kNone, when};
}

// A Filter installed for the callbacks for the life of the object, with a
// captured log, the settings asked for and a rule set the test fills in
// before the first message.
class TestFilter {
 public:
  explicit TestFilter(int verbose = 0, int accept = 1)
      : capture(accept), rules(std::make_shared<RuleSet>()),
        filter(Settings{verbose, accept != 0}, capture.log, rules) {
    install_filter(&filter);
  }
  ~TestFilter() { install_filter(nullptr); }
  TestFilter(const TestFilter &) = delete;
  TestFilter &operator=(const TestFilter &) = delete;

  Rule &add(std::unique_ptr<ConditionNode> condition, std::uint32_t halt = 0) {
    Rule *rule = append_rule(rules->rules, new_rule());
    rule->condition = std::move(condition);
    rule->halt = halt;
    return *rule;
  }
  std::vector<std::string> lines() const { return capture.lines(); }

  LogCapture capture;
  std::shared_ptr<RuleSet> rules;
  Filter filter;
};

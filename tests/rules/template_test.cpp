// Action templates: pieces, expansion, insert modes and the date placeholders.
#include "rules/template.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "message/message_context.h"

namespace {

struct Parsed {
  Rule rule;
  Action action;
};

void parse(Parsed &p, const char *text) {
  ASSERT_EQ(parse_template(text, p.rule, p.action), 1);
  p.action.literal_length = template_literal_length(p.action.pieces.head.get());
}

std::string expand(const Parsed &p, const MessageContext &msg, InsertMode mode = INSERT_AS_IS) {
  Text text = expand_template(p.action, msg, RuleMatch{}, nullptr, mode);
  return text ? std::string(text.get()) : std::string("<null>");
}

MessageContext message_from(const char *from) {
  MessageContext msg;
  msg.from = copy_text(from);
  return msg;
}

TEST(Template, WorkedExampleDomainAndUser) {
  Parsed p;
  parse(p, "/srv/mailcopy/%FROM.DOMAIN%/%FROM.USER%");
  const TemplatePiece *first = p.action.pieces.head.get();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->kind, PIECE_FROM_DOMAIN);
  EXPECT_STREQ(first->literal.get(), "/srv/mailcopy/");
  const TemplatePiece *second = first->next.get();
  EXPECT_EQ(second->kind, PIECE_FROM_USER);
  EXPECT_STREQ(second->literal.get(), "/");
  const TemplatePiece *last = second->next.get();
  EXPECT_EQ(last->kind, PIECE_LITERAL);
  ASSERT_NE(last->literal, nullptr);
  EXPECT_STREQ(last->literal.get(), "");
  EXPECT_EQ(last->next, nullptr);
  EXPECT_EQ(p.action.literal_length, 16);
  EXPECT_EQ(p.rule.template_uses, 0u);
  EXPECT_EQ(p.action.each_recipient, 0u);
  EXPECT_EQ(expand(p, message_from("x@y")), "/srv/mailcopy/y/x");
}

TEST(Template, WorkedExampleSenderPercentTo) {
  Parsed p;
  parse(p, "%SENDER%100%%%TO.USER%+");
  const TemplatePiece *piece = p.action.pieces.head.get();
  EXPECT_EQ(piece->kind, PIECE_SENDER);
  EXPECT_EQ(piece->literal, nullptr);
  piece = piece->next.get();
  EXPECT_EQ(piece->kind, PIECE_LITERAL);
  EXPECT_STREQ(piece->literal.get(), "100");
  piece = piece->next.get();
  EXPECT_EQ(piece->kind, PIECE_TO_USER);
  EXPECT_EQ(piece->literal, nullptr);
  piece = piece->next.get();
  EXPECT_EQ(piece->kind, PIECE_LITERAL);
  EXPECT_STREQ(piece->literal.get(), "+");
  EXPECT_EQ(p.rule.template_uses, USES_FIRST_TO);
  EXPECT_EQ(expand(p, message_from("x@y")), "100+");
}

TEST(Template, WorkedExampleStrayPercent) {
  Parsed p;
  parse(p, "50%off %FROM%");
  EXPECT_STREQ(p.action.pieces.head->literal.get(), "50%off ");
  EXPECT_EQ(p.action.pieces.head->kind, PIECE_FROM);
  EXPECT_EQ(expand(p, message_from("x@y")), "50%off x@y");
}

TEST(Template, TextsThatStayAsWritten) {
  struct Case {
    const char *text;
    const char *from;
    const char *want;
  } cases[] = {
      {"", "x@y", ""},
      {"plain", "x@y", "plain"},
      {"%from% %FROM.USR% %ALLTO.domain%", "x@y", "%from% %FROM.USR% %ALLTO.domain%"},
      {"100%", "x@y", "100%"},
      {"100%%", "x@y", "100"},
      {"%FROM%TO%", "x@y", "x@yTO%"},
      {"%FROM.USER%|%FROM.DOMAIN%", "x@y@z", "x|y@z"},
      {"%FROM.USER%|%FROM.DOMAIN%", "x@", "x|"},
      {"%FROM.USER%|%FROM.DOMAIN%", "@y", "|y"},
      {"%FROM.USER%|%FROM.DOMAIN%", "xy", "xy|"},
      {"[%FROM%|%FROM.USER%|%FROM.DOMAIN%]", "", "[||]"},
      {"%SENDER%%TO%%ALLTO%", "x@y", ""},
      {"%FROM%%FROM%", "a", "aa"},
  };
  for (const Case &c : cases) {
    Parsed p;
    parse(p, c.text);
    EXPECT_EQ(expand(p, message_from(c.from)), c.want) << c.text << " from " << c.from;
  }
}

TEST(Template, OnlyPlaceholderHasNullFirstLiteralAndEmptyLast) {
  Parsed p;
  parse(p, "%FROM%");
  EXPECT_EQ(p.action.pieces.head->literal, nullptr);
  ASSERT_NE(p.action.pieces.tail->literal, nullptr);
  EXPECT_STREQ(p.action.pieces.tail->literal.get(), "");
}

TEST(Template, AlltoMarksOnlyItsOwnAction) {
  Rule rule;
  Action *first = add_action(rule);
  Action *second = add_action(rule);
  ASSERT_EQ(parse_template("/m/%ALLTO.USER%", rule, *first), 1);
  ASSERT_EQ(parse_template("/m/%FROM%", rule, *second), 1);
  EXPECT_EQ(first->each_recipient, 1u);
  EXPECT_EQ(second->each_recipient, 0u);
  EXPECT_EQ(rule.template_uses, USES_EACH_TO);
}

TEST(Template, ValuesAreMadeSafeWhereTheyAreInserted) {
  Parsed p;
  parse(p, "/srv/m/%FROM%/../%FROM.USER%");
  MessageContext msg = message_from("../../etc/passwd@x");
  EXPECT_EQ(expand(p, msg, INSERT_PATH_SAFE), "/srv/m/_._.._etc_passwd@x/../_._.._etc_passwd");

  Parsed shell;
  parse(shell, "/bin/deliver '%FROM%' $HOME");
  MessageContext hostile = message_from("a';rm -rf /;'`x`$(y)\xc3\xa9@b.c");
  EXPECT_EQ(expand(shell, hostile, INSERT_SHELL_SAFE), "/bin/deliver 'a__rm_-rf_____x___y_\xc3\xa9@b.c' $HOME");
  EXPECT_EQ(expand(shell, message_from("Ok+tag=1,2:3@x.y"), INSERT_SHELL_SAFE), "/bin/deliver 'Ok+tag=1,2:3@x.y' $HOME");

  // A value of its own as a word cannot be an option: its first "-" goes,
  // later ones stay, and only shell-safe insertion changes it.
  Parsed words;
  parse(words, "ssh %FROM.USER% %FROM.DOMAIN% x-%FROM%");
  MessageContext options = message_from("-oProxyCommand=a-b@--c");
  EXPECT_EQ(expand(words, options, INSERT_SHELL_SAFE), "ssh _oProxyCommand=a-b _-c x-_oProxyCommand=a-b@--c");
  EXPECT_EQ(expand(words, options, INSERT_PATH_SAFE), "ssh -oProxyCommand=a-b --c x--oProxyCommand=a-b@--c");
}

// Sets TZ for the life of the object.
class TimeZone {
 public:
  explicit TimeZone(const char *zone) {
    const char *tz = std::getenv("TZ");
    had_ = tz != nullptr;
    if (had_) saved_ = tz;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST(Template, DatePlaceholdersGiveTheMessageTimeInLocalTime) {
  struct Case {
    const char *zone;
    std::time_t when;
    const char *text;
    const char *want;
  } cases[] = {
      {"UTC", 1700000000, "/srv/%YEAR%-%MONTH%/%DAY%", "/srv/2023-11/14"},  // Tue Nov 14 22:13:20 2023
      {"JST-9", 1700000000, "/srv/%YEAR%-%MONTH%/%DAY%", "/srv/2023-11/15"},
      {"UTC", 0, "%YEAR%%MONTH%%DAY%", "19700101"},
      {"UTC", 946684799, "%DAY%.%MONTH%.%YEAR%", "31.12.1999"},
      {"UTC", 1700000000, "%year% %Month% %DAY", "%year% %Month% %DAY"},
      {"UTC", 253402300800, "[%YEAR%|%MONTH%|%DAY%]", "[||]"},  // year 10000 has five digits
  };
  for (const Case &c : cases) {
    TimeZone zone(c.zone);
    Parsed p;
    parse(p, c.text);
    EXPECT_EQ(p.rule.template_uses, 0u);
    MessageContext msg = message_from("a@b");
    msg.message_time = c.when;
    for (InsertMode mode : {INSERT_AS_IS, INSERT_PATH_SAFE, INSERT_SHELL_SAFE})
      EXPECT_EQ(expand(p, msg, mode), c.want) << c.text << " in " << c.zone << ", mode " << mode;
  }
}

}  // namespace

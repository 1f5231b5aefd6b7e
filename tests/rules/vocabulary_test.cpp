// The vocabulary rows against what the parser and templates do with them:
// each keyword a row spells is read, in upper case too, as that row's value,
// and each placeholder name parses to its own kind and back.
#include "rules/vocabulary.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "rules/parser.h"
#include "rules/template.h"

namespace {

std::string upper(const char *text) {
  std::string out(text);
  for (char &ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return out;
}

const MatchTerm *parse_term_of(RuleSet &set, const std::string &condition) {
  const std::string text = "{ " + condition + " } Halt;";
  std::string error;
  if (!parse_rule_text(text.data(), text.size(), set, nullptr, error)) {
    ADD_FAILURE() << text << ": " << error;
    return nullptr;
  }
  return set.rules.head->condition->left_term.get();
}

TEST(Vocabulary, EveryKeywordReadsAsItsRow) {
  for (const OperatorRow &row : kOperatorRows) {
    if (row.keyword == nullptr) continue;
    const bool size = row.op == OP_OVER || row.op == OP_UNDER;
    for (const std::string &word : {std::string(row.keyword), upper(row.keyword)}) {
      SCOPED_TRACE(word);
      RuleSet set;
      const MatchTerm *term = parse_term_of(set, size ? "Size " + word + " 1" : "From " + word + " x");
      ASSERT_NE(term, nullptr);
      EXPECT_EQ(term->op, row.op);
    }
  }
  for (const FieldRow &row : kFieldRows) {
    if (row.keyword == nullptr) continue;
    const std::string word = upper(row.keyword);
    SCOPED_TRACE(word);
    std::string rest = " is x";
    if (row.field == FIELD_NOT_MATCHED || row.field == FIELD_MATCH_ALL) rest = "";
    if (row.field == FIELD_HEADER || row.field == FIELD_ADDRESS) rest = " Subject is x";
    if (row.field == FIELD_SIZE) rest = " over 1";
    RuleSet set;
    const MatchTerm *term = parse_term_of(set, word + rest);
    ASSERT_NE(term, nullptr);
    EXPECT_EQ(term->field, row.field);
  }
}

TEST(Vocabulary, PlaceholderNamesParseToTheirKind) {
  for (const PieceRow &row : kPieceRows) {
    if (row.name == nullptr) continue;
    SCOPED_TRACE(row.name);
    Rule rule;
    Action action;
    ASSERT_EQ(parse_template((std::string("a%") + row.name + "b").c_str(), rule, action), 1);
    ASSERT_NE(action.pieces.head, nullptr);
    EXPECT_EQ(action.pieces.head->kind, row.kind);
    EXPECT_STREQ(placeholder_name(row.kind), row.name);
    EXPECT_EQ(action.each_recipient != 0, row.family == FAMILY_EACH_TO);
    EXPECT_EQ((rule.template_uses & USES_FIRST_TO) != 0, row.family == FAMILY_FIRST_TO);
  }
}

}  // namespace

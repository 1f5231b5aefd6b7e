// The selection a rule leaves for its actions: positions past the inline
// room, clearing, and the count it was prepared for.
#include "rules/rule_match.h"

#include <gtest/gtest.h>

#include <string>

#include "support/alloc_failure.h"

namespace {

std::string selected_of(const RuleMatch &match, std::size_t count) {
  std::string flags;
  for (std::size_t i = 0; i < count; ++i) flags += match.selected(i) ? '1' : '0';
  return flags;
}

TEST(RuleMatch, SelectsByPositionWithinThePreparedCount) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{3}, std::size_t{256}, std::size_t{1000}}) {
    SCOPED_TRACE(count);
    RuleMatch match;
    ASSERT_TRUE(match.prepare(count));
    for (const std::size_t i : {std::size_t{0}, std::size_t{63}, std::size_t{64}, std::size_t{255}, std::size_t{256},
                                std::size_t{999}, count})
      match.select(i);  // past the count: ignored
    std::string want(count, '0');
    for (const std::size_t i : {0, 63, 64, 255, 256, 999})
      if (i < count) want[i] = '1';
    EXPECT_EQ(selected_of(match, count), want);
    EXPECT_FALSE(match.selected(count));
  }
}

TEST(RuleMatch, ClearingAndPreparingForgetTheSelectionAndFirstTo) {
  RuleMatch match;
  ASSERT_TRUE(match.prepare(300));
  match.select(299);
  match.first_to = "a@x";
  match.earlier_rule_matched = true;
  match.clear_selection();
  EXPECT_EQ(selected_of(match, 300), std::string(300, '0'));
  EXPECT_EQ(match.first_to, nullptr);
  EXPECT_TRUE(match.earlier_rule_matched);  // walk state, not the rule's

  match.select(5);
  ASSERT_TRUE(match.prepare(2));  // smaller: the room it has is reused
  EXPECT_EQ(selected_of(match, 6), "000000");
  match.select(1);
  ASSERT_TRUE(match.prepare(700));  // larger than before: fresh, cleared room
  EXPECT_EQ(selected_of(match, 700), std::string(700, '0'));
}

// Only an envelope larger than the inline room allocates; when that fails
// the match selects nothing.
TEST(RuleMatch, LargeEnvelopeAllocationFailure) {
  RuleMatch small;
  fail_nothrow_allocation(0);
  EXPECT_TRUE(small.prepare(256));
  EXPECT_FALSE(allocation_failure_fired());
  RuleMatch large;
  EXPECT_FALSE(large.prepare(257));
  disarm_allocation_failure();
  large.select(0);
  EXPECT_FALSE(large.selected(0));
}

}  // namespace

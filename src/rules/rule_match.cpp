// The selection a rule's evaluation leaves for its actions.
#include "rules/rule_match.h"

#include <cstring>
#include <new>

bool RuleMatch::prepare(std::size_t recipients) noexcept {
  const std::size_t needed = words_for(recipients);
  if (needed > (heap_words_ ? heap_capacity_ : kInlineWords)) {
    heap_words_.reset(new (std::nothrow) std::uint64_t[needed]);
    if (!heap_words_) {
      count_ = 0;
      clear_selection();
      return false;
    }
    heap_capacity_ = needed;
  }
  count_ = recipients;
  clear_selection();
  return true;
}

void RuleMatch::clear_selection() noexcept {
  std::memset(words(), 0, words_for(count_) * sizeof(std::uint64_t));
  first_to = nullptr;
}

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

bool RuleMatch::set_captures(const char *value, std::size_t length, const Group *groups, std::size_t count) noexcept {
  capture_count_ = 0;
  if (length + 1 > capture_capacity_) {
    capture_text_.reset(new (std::nothrow) char[length + 1]);
    capture_capacity_ = capture_text_ ? length + 1 : 0;
    if (!capture_text_) return false;
  }
  if (length > 0) std::memcpy(capture_text_.get(), value, length);
  capture_text_[length] = '\0';
  const std::size_t kept = count < sizeof captures_ / sizeof captures_[0] ? count : sizeof captures_ / sizeof captures_[0];
  for (std::size_t i = 0; i < kept; ++i) captures_[i] = groups[i];
  capture_count_ = kept;
  return true;
}

const char *RuleMatch::capture(std::size_t number, std::size_t &length) const noexcept {
  length = 0;
  if (number == 0 || number > capture_count_ || !captures_[number - 1].taken) return "";
  length = captures_[number - 1].length;
  return capture_text_.get() + captures_[number - 1].start;
}

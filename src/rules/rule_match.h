// What evaluating one rule found in one message, for that rule's actions.
//
// The rule walk owns a RuleMatch for the message and hands it to each
// evaluate_rule and then to the delivery of the rule's actions: the
// recipients the rule selected (by their position in the message's list),
// the first of them for %TO%, and whether an earlier rule of the walk
// matched (the Not matched test). The message itself stays as its builders
// left it, so the walk and the actions read it as const.
//
// A match keeps room for 256 recipients in itself; prepare() allocates for a
// larger envelope (new (std::nothrow)), and set_captures() for the value a
// capturing test matched (kept, as an Address test's value is its own copy),
// growing only. Touched
// only by the thread that walks the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class RuleMatch {
 public:
  RuleMatch() = default;
  RuleMatch(RuleMatch &&) noexcept = default;
  RuleMatch &operator=(RuleMatch &&) noexcept = default;

  // Makes room for `recipients` recipients and forgets the selection and
  // %TO%. Returns false when memory runs out; the match then selects none.
  bool prepare(std::size_t recipients) noexcept;

  // Forgets the selection and %TO%, keeping the room (a rule whose templates
  // use recipients starts from nothing selected).
  void clear_selection() noexcept;

  // Selects the recipient at `index`; nothing past the prepared count.
  void select(std::size_t index) noexcept {
    if (index < count_) words()[index / 64] |= std::uint64_t{1} << (index % 64);
  }
  // Whether the recipient at `index` is selected; false past the prepared count.
  bool selected(std::size_t index) const noexcept {
    return index < count_ && (words()[index / 64] >> (index % 64) & 1) != 0;
  }

  // %TO%: the first selected recipient's address, kept only for a rule whose
  // templates use it; points into the message, not owned.
  const char *first_to = nullptr;

  // Walk state: some earlier rule of this walk matched (Not matched).
  bool earlier_rule_matched = false;

  // Captures: what the last Regex or Matches test that held captured, for
  // %1% to %9% (rule.h kMaxCaptures). A rule's evaluation starts with none.
  void clear_captures() noexcept { capture_count_ = 0; }
  // Keeps the `length` bytes of `value` and the `count` groups in them
  // (beyond kMaxCaptures ignored; a group that took no part has `taken`
  // false). Returns false when memory runs out; the match then has none.
  struct Group {
    std::size_t start = 0;
    std::size_t length = 0;
    bool taken = false;
  };
  bool set_captures(const char *value, std::size_t length, const Group *groups, std::size_t count) noexcept;
  // Capture `number` (1 to 9): its bytes and length; empty when the last
  // capturing test had no such group or the group took no part.
  const char *capture(std::size_t number, std::size_t &length) const noexcept;

 private:
  static constexpr std::size_t kInlineWords = 4;

  std::uint64_t *words() noexcept { return heap_words_ ? heap_words_.get() : inline_words_; }
  const std::uint64_t *words() const noexcept { return heap_words_ ? heap_words_.get() : inline_words_; }
  static std::size_t words_for(std::size_t recipients) noexcept { return (recipients + 63) / 64; }

  std::uint64_t inline_words_[kInlineWords] = {};
  std::unique_ptr<std::uint64_t[]> heap_words_;  // null while the inline words are enough
  std::size_t heap_capacity_ = 0;  // words at heap_words_
  std::unique_ptr<char[]> capture_text_;  // the captured value, kept for the actions
  std::size_t capture_capacity_ = 0;
  Group captures_[9];
  std::size_t capture_count_ = 0;
  std::size_t count_ = 0;
};

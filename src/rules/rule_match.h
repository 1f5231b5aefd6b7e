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
// larger envelope (new (std::nothrow)), the only allocation here. Touched
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

  // captures: filled by Regex and Matches tests

 private:
  static constexpr std::size_t kInlineWords = 4;

  std::uint64_t *words() noexcept { return heap_words_ ? heap_words_.get() : inline_words_; }
  const std::uint64_t *words() const noexcept { return heap_words_ ? heap_words_.get() : inline_words_; }
  static std::size_t words_for(std::size_t recipients) noexcept { return (recipients + 63) / 64; }

  std::uint64_t inline_words_[kInlineWords] = {};
  std::unique_ptr<std::uint64_t[]> heap_words_;  // null while the inline words are enough
  std::size_t heap_capacity_ = 0;                // words at heap_words_
  std::size_t count_ = 0;
};

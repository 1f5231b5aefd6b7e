// The address-list reader: one pass over the value with a little state for
// the mailbox being read. Quoted strings, domain literals and comments are
// read by their own loops, so a "," or ":" inside them never splits a
// mailbox; comments nest by a count, not by recursion.
#include "message/address_list.h"

#include <memory>
#include <new>

namespace {

// CR and LF are folding, NUL is nothing the header could mean: all three are
// dropped, and outside quoted strings they separate words as blanks do.
bool is_dropped(char ch) noexcept { return ch == '\r' || ch == '\n' || ch == '\0'; }
bool is_blank(char ch) noexcept { return ch == ' ' || ch == '\t' || is_dropped(ch); }

class AddressReader {
 public:
  AddressReader(const char *value, std::size_t length, char *out, AddressSink sink, void *context) noexcept
      : value_(value), length_(length), out_(out), sink_(sink), context_(context) {}

  void run() noexcept {
    while (at_ < length_) {
      if (!step()) return;
    }
    emit();
  }

 private:
  // Reads what starts at at_; false when the sink asked to stop.
  bool step() noexcept {
    const char ch = value_[at_];
    if (is_blank(ch)) {
      separated_ = true;
      ++at_;
      return true;
    }
    switch (ch) {
      case '(': skip_comment(); return true;
      case '"': read_quoted(); return true;
      case '[': read_literal(); return true;
      case '<':  // a display name before it is dropped; a second pair replaces the first
        restart();
        bracketed_ = true;
        in_brackets_ = true;
        ++at_;
        return true;
      case '>':
        if (in_brackets_) {
          in_brackets_ = false;
          closed_ = true;
        }
        ++at_;
        return true;
      case ':':
        ++at_;
        if (!in_brackets_) {
          restart();  // what came before was a group's name
        } else if (route_) {
          length_out_ = 0;  // <@relay,@relay:user@domain>: the route is dropped
          route_ = false;
        } else {
          put(ch);
        }
        return true;
      case ',':
      case ';':
        ++at_;
        if (in_brackets_) {  // a source route's list, or an unclosed bracket
          put(ch);
          return true;
        }
        return emit();
      default:
        begin_word(ch);
        if (in_brackets_ && length_out_ == 0 && ch == '@') route_ = true;
        put(ch);
        ++at_;
        return true;
    }
  }

  // A word starts with `first`. Outside brackets, words that no "." or "@"
  // joins make a phrase, a display name without brackets: the earlier ones
  // are dropped, so the last run of joined words is the address.
  void begin_word(char first) noexcept {
    if (closed_) return;
    if (!in_brackets_ && separated_ && length_out_ > 0 && !joins(out_[length_out_ - 1]) && !joins(first))
      length_out_ = 0;
    separated_ = false;
  }

  static bool joins(char ch) noexcept { return ch == '.' || ch == '@'; }

  // After the closing bracket nothing more belongs to the address.
  void put(char ch) noexcept {
    if (!closed_) out_[length_out_++] = ch;
  }

  // A comment ends at the ")" that closes the first "(", quoted pairs
  // included; it separates words as a blank does.
  void skip_comment() noexcept {
    std::size_t depth = 1;
    for (++at_; at_ < length_ && depth > 0; ++at_) {
      const char ch = value_[at_];
      if (ch == '\\' && at_ + 1 < length_)
        ++at_;
      else if (ch == '(')
        ++depth;
      else if (ch == ')')
        --depth;
    }
    separated_ = true;
  }

  // A quoted string is kept as written, quotes and quoted pairs included,
  // less the line breaks of folding.
  void read_quoted() noexcept {
    begin_word('"');
    put('"');
    for (++at_; at_ < length_ && value_[at_] != '"'; ++at_) {
      const char ch = value_[at_];
      if (is_dropped(ch)) continue;
      put(ch);
      if (ch == '\\' && at_ + 1 < length_ && !is_dropped(value_[at_ + 1])) put(value_[++at_]);
    }
    if (at_ < length_) {
      put('"');
      ++at_;
    }
  }

  // A domain literal ([192.0.2.1], [IPv6:2001:db8::1]) is kept as written,
  // less its blanks: its ":" are no group's.
  void read_literal() noexcept {
    begin_word('[');
    put('[');
    for (++at_; at_ < length_ && value_[at_] != ']'; ++at_) {
      const char ch = value_[at_];
      if (is_blank(ch)) continue;
      put(ch);
      if (ch == '\\' && at_ + 1 < length_ && !is_blank(value_[at_ + 1])) put(value_[++at_]);
    }
    if (at_ < length_) {
      put(']');
      ++at_;
    }
  }

  // The mailbox ends: it is handed out when it had brackets or any text.
  bool emit() noexcept {
    const bool found = bracketed_ || length_out_ > 0;
    const std::size_t length = length_out_;
    restart();
    return !found || sink_(context_, out_, length);
  }

  void restart() noexcept {
    length_out_ = 0;
    bracketed_ = in_brackets_ = closed_ = route_ = separated_ = false;
  }

  const char *const value_;
  const std::size_t length_;
  std::size_t at_ = 0;
  char *const out_;  // never longer than the value: at most one byte out per byte read
  std::size_t length_out_ = 0;
  bool bracketed_ = false;    // a "<" was seen in this mailbox
  bool in_brackets_ = false;  // ... and its ">" not yet
  bool closed_ = false;       // the ">" was seen
  bool route_ = false;        // in brackets, what is read so far is a source route
  bool separated_ = false;    // a blank or comment since the last byte of a word
  const AddressSink sink_;
  void *const context_;
};

}  // namespace

const char *for_each_address(const char *value, std::size_t length, AddressSink sink, void *context) noexcept {
  const std::unique_ptr<char[]> out(new (std::nothrow) char[length + 1]);
  if (!out) return "address";
  AddressReader(value, length, out.get(), sink, context).run();
  return nullptr;
}

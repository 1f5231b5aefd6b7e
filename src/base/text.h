// Owned byte texts.
//
// A Text is a NUL-terminated byte string with one owner; a null Text means
// "absent", which is kept apart from the empty text. Texts that live with a
// message are allocated with new (std::nothrow) so that running out of memory
// is a result the caller logs, never an exception. Any thread may call these.
#pragma once

#include <cstddef>
#include <memory>

using Text = std::unique_ptr<char[]>;

// Copies `length` bytes of `bytes` and a terminating NUL. Null when memory
// cannot be allocated.
Text copy_text(const char *bytes, std::size_t length) noexcept;

// Copies a NUL-terminated text. Null when memory cannot be allocated.
Text copy_text(const char *text) noexcept;

// POSIX-locale lower-casing: only 'A' to 'Z' change.
constexpr int ascii_tolower(int ch) noexcept {
  return ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch;
}

// Lower-cases `text` in place in the POSIX locale and returns it.
char *lowercase_in_place(char *text) noexcept;

// Whether `a` and `b` are the same text in the POSIX locale without regard
// to case.
bool equal_ignoring_case(const char *a, const char *b) noexcept;

#include "base/text.h"

#include <cstring>
#include <new>

Text copy_text(const char *bytes, std::size_t length) noexcept {
  Text copy(new (std::nothrow) char[length + 1]);
  if (!copy) return copy;
  if (length > 0) std::memcpy(copy.get(), bytes, length);
  copy[length] = '\0';
  return copy;
}

Text copy_text(const char *text) noexcept { return copy_text(text, std::strlen(text)); }

char *lowercase_in_place(char *text) noexcept {
  for (char *p = text; *p != '\0'; ++p) *p = static_cast<char>(ascii_tolower(static_cast<unsigned char>(*p)));
  return text;
}

bool equal_ignoring_case(const char *a, const char *b) noexcept {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (ascii_tolower(static_cast<unsigned char>(*a)) != ascii_tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

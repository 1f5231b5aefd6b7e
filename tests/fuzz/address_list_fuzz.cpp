// Fuzz target for the address-list reader.
//
// The input is a header field value, any bytes. Every address handed out
// must be non-empty unless the value holds a "<", free of CR, LF and NUL, and
// all of them together no longer than the value; a second read stopped at
// the first address must hand out the same first address. Aborts on a broken
// invariant; sanitizers catch a read past the value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "message/address_list.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // An allocation of exactly the input's size, so that a read past it is seen.
  std::unique_ptr<char[]> value(new char[size > 0 ? size : 1]);
  if (size > 0) std::memcpy(value.get(), data, size);
  const bool has_bracket = size > 0 && std::memchr(value.get(), '<', size) != nullptr;

  std::size_t total = 0;
  std::string first;
  bool any = false;
  require(for_each_address(value.get(), size, [&](const char *address, std::size_t length) noexcept {
            require(length > 0 || has_bracket);
            for (std::size_t i = 0; i < length; ++i)
              require(address[i] != '\r' && address[i] != '\n' && address[i] != '\0');
            total += length;
            require(total <= size);
            if (!any) first.assign(address, length);
            any = true;
            return true;
          }) == nullptr);

  bool again = false;
  require(for_each_address(value.get(), size, [&](const char *address, std::size_t length) noexcept {
            require(!again && first == std::string(address, length));
            again = true;
            return false;
          }) == nullptr);
  require(again == any);
  return 0;
}

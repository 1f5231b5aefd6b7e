// Fuzz target for the envelope address normaliser.
//
// The input, up to its first NUL, is an address as an MTA might hand it
// over. The result must be the input with exactly one outer pair of angle
// brackets removed (only when both are there) and only A to Z lower-cased:
// same length otherwise, every other byte unchanged. Aborts on a broken
// invariant.
#include <libmilter/mfapi.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "message/message_context.h"

// The capture callbacks that share normalize_address's object file call the
// milter library; the replay binary has none, and this target never calls
// those callbacks.
extern "C" {
void *smfi_getpriv(SMFICTX *) { return nullptr; }
int smfi_setpriv(SMFICTX *, void *) { return MI_FAILURE; }
char *smfi_getsymval(SMFICTX *, char *) { return nullptr; }
}

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  const char *address = input.c_str();  // ends at the first NUL, if any
  const std::size_t length = std::strlen(address);

  Text normal = normalize_address(address);
  require(normal != nullptr);

  const bool stripped = length >= 2 && address[0] == '<' && address[length - 1] == '>';
  const char *kept = stripped ? address + 1 : address;
  const std::size_t kept_length = stripped ? length - 2 : length;
  require(std::strlen(normal.get()) == kept_length);
  for (std::size_t i = 0; i < kept_length; ++i) {
    const unsigned char in = static_cast<unsigned char>(kept[i]);
    const unsigned char out = static_cast<unsigned char>(normal[i]);
    if (in >= 'A' && in <= 'Z')
      require(out == in - 'A' + 'a');
    else
      require(out == in);
  }
  // Normalising twice strips a second pair only when one was nested inside.
  Text again = normalize_address(normal.get());
  require(again != nullptr);
  const std::size_t again_length = std::strlen(again.get());
  require(again_length == kept_length || (again_length + 2 == kept_length && normal[0] == '<'));
  return 0;
}

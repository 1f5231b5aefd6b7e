// Command-line paths made absolute.
#include "frontend/absolute_path.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

std::unique_ptr<char[]> absolute_path(const char *path) noexcept {
  const std::size_t length = std::strlen(path);
  char *directory = path[0] == '/' ? nullptr : getcwd(nullptr, 0);
  const std::size_t prefix = directory != nullptr ? std::strlen(directory) + 1 : 0;
  std::unique_ptr<char[]> result(new (std::nothrow) char[prefix + length + 1]);
  if (result) {
    if (directory != nullptr) {
      std::memcpy(result.get(), directory, prefix - 1);
      result[prefix - 1] = '/';
    }
    std::memcpy(result.get() + prefix, path, length + 1);
  }
  std::free(directory);
  return result;
}

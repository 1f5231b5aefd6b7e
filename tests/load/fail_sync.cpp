// A library for LD_PRELOAD that makes the disk syncs of the process it is
// loaded into fail with EIO on request, for the fault tests.
//
// While the file named by the environment variable QUORVANE_FAIL_SYNC exists,
// its words choose what fails: "fdatasync" (any file), "fsync-file" (fsync
// of anything but a directory), "fsync-dir" (fsync of a directory). Without
// the file, or for calls it does not name, the C library's own call runs.
// The file is read at every call, so a test turns failures on and off while
// the daemon runs.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using SyncCall = int (*)(int);

// Whether the control file is there and names `word`.
bool asked_to_fail(const char *word) noexcept {
  const char *control = std::getenv("QUORVANE_FAIL_SYNC");
  if (control == nullptr) return false;
  const int saved_errno = errno;
  const int fd = open(control, O_RDONLY | O_CLOEXEC);
  char words[256] = {};
  ssize_t length = 0;
  if (fd >= 0) {
    length = read(fd, words, sizeof words - 1);
    close(fd);
  }
  errno = saved_errno;
  return length > 0 && std::strstr(words, word) != nullptr;
}

bool is_directory(int fd) noexcept {
  struct stat info{};
  return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
}

int failed() noexcept {
  errno = EIO;
  return -1;
}

}  // namespace

extern "C" int fdatasync(int fd) {
  static const auto real = reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, "fdatasync"));
  if (asked_to_fail("fdatasync")) return failed();
  return real(fd);
}

extern "C" int fsync(int fd) {
  static const auto real = reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, "fsync"));
  if (asked_to_fail(is_directory(fd) ? "fsync-dir" : "fsync-file")) return failed();
  return real(fd);
}

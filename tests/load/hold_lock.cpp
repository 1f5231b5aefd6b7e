// Another process that locks a mailbox: takes an fcntl write lock on the whole
// file (waiting for it if need be), says "locked" on standard output, holds
// the lock for the given time and exits, which releases it.
//
//   quorvane_hold_lock <path> <milliseconds>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <path> <milliseconds>\n", argv[0]);
    return 2;
  }
  const long milliseconds = std::strtol(argv[2], nullptr, 10);
  const int fd = open(argv[1], O_WRONLY | O_CREAT, 0620);
  if (fd < 0) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // the whole file, however far it grows
  if (fcntl(fd, F_SETLKW, &lock) != 0) {
    std::fprintf(stderr, "cannot lock %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  std::puts("locked");
  std::fflush(stdout);
  const timespec pause{milliseconds / 1000, (milliseconds % 1000) * 1000000};
  nanosleep(&pause, nullptr);
  return 0;
}

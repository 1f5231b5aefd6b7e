// The process-wide per-file lock registry and the record-lock wait of Store In.
#include "actions/file_lock.h"

#include <fcntl.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <new>

struct FileLockEntry {
  dev_t dev = 0;
  ino_t ino = 0;
  std::size_t users = 0;  // holders and waiters; guarded by registry_mutex
  std::mutex held;
  FileLockEntry *next = nullptr;
};

namespace {

// Few files are appended to at once, so a plain list is enough.
std::mutex registry_mutex;
FileLockEntry *registry = nullptr;

// Attempts made without sleeping before the wait starts to back off.
constexpr int kQuickAttempts = 8;
constexpr long kFirstSleepNs = 50'000;      // 50 us
constexpr long kLongestSleepNs = 10'000'000;  // 10 ms

long elapsed_ms(const timespec &since) noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1'000'000;
}

}  // namespace

FileLockEntry *new_file_lock_entry() noexcept { return new (std::nothrow) FileLockEntry(); }

void discard_file_lock_entry(FileLockEntry *spare) noexcept { delete spare; }

FileLockEntry *acquire_file_lock(dev_t dev, ino_t ino, FileLockEntry *spare) noexcept {
  FileLockEntry *entry = nullptr;
  {
    std::lock_guard<std::mutex> guard(registry_mutex);
    for (entry = registry; entry != nullptr; entry = entry->next)
      if (entry->dev == dev && entry->ino == ino) break;
    if (entry == nullptr) {
      entry = spare;
      spare = nullptr;
      entry->dev = dev;
      entry->ino = ino;
      entry->next = registry;
      registry = entry;
    }
    ++entry->users;
  }
  delete spare;
  // The entry cannot go away while `users` counts us.
  entry->held.lock();
  return entry;
}

void release_file_lock(FileLockEntry *entry) noexcept {
  entry->held.unlock();
  std::lock_guard<std::mutex> guard(registry_mutex);
  if (--entry->users > 0) return;
  for (FileLockEntry **link = &registry; *link != nullptr; link = &(*link)->next)
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  delete entry;
}

std::size_t file_lock_entries() noexcept {
  std::lock_guard<std::mutex> guard(registry_mutex);
  std::size_t count = 0;
  for (const FileLockEntry *entry = registry; entry != nullptr; entry = entry->next) ++count;
  return count;
}

int take_record_lock(int fd, off_t length, long wait_limit_ms) noexcept {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_END;
  lock.l_start = 0;
  lock.l_len = length;

  timespec started{};
  clock_gettime(CLOCK_MONOTONIC, &started);
  long sleep_ns = kFirstSleepNs;
  for (int attempt = 0;; ++attempt) {
    // SEEK_END: every attempt locks the range at the end of the file as it
    // is at that moment.
    if (fcntl(fd, F_SETLK, &lock) == 0) return 1;
    if (errno != EAGAIN && errno != EACCES) return 0;
    if (elapsed_ms(started) >= wait_limit_ms) {
      errno = EAGAIN;
      return 0;
    }
    if (attempt < kQuickAttempts) continue;
    const timespec pause{0, sleep_ns};
    nanosleep(&pause, nullptr);
    sleep_ns = sleep_ns * 2 > kLongestSleepNs ? kLongestSleepNs : sleep_ns * 2;
  }
}

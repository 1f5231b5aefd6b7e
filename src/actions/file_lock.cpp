// The process-wide per-file registry, the end-of-file lock and the shared
// syncs of Store In.
#include "actions/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <new>

#include "actions/action_support.h"
#include "actions/safe_path.h"

namespace {

// One append waiting for its record to be on disk; lives on its thread's
// stack until it is settled.
struct Waiter {
  off_t start = 0;  // where its record starts
  int outcome = 0;  // 0 waiting, 1 on disk, -1 cut away
  int error = 0;    // errno of the failed sync
  Waiter *next = nullptr;
};

// The right to write to one file, held by one append at a time and waited
// for until a deadline. A flag under a condition variable rather than a
// std::timed_mutex: the latter waits on the monotonic clock through
// pthread_mutex_clocklock, which ThreadSanitizer does not see, so every
// test under it would report this lock as broken.
class WriteTurn {
 public:
  bool try_lock_until(LockDeadline deadline) noexcept {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!free_.wait_until(guard, deadline, [this] { return !taken_; })) return false;
    taken_ = true;
    return true;
  }
  void lock() noexcept {
    std::unique_lock<std::mutex> guard(mutex_);
    free_.wait(guard, [this] { return !taken_; });
    taken_ = true;
  }
  void unlock() noexcept {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      taken_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool taken_ = false;
};

}  // namespace

struct FileLockEntry {
  dev_t dev = 0;
  ino_t ino = 0;
  std::size_t users = 0;  // threads using the entry; guarded by registry_mutex
  FileLockEntry *next = nullptr;

  WriteTurn writing;  // held by the one append that may write
  // Guarded by `state`:
  std::mutex state;
  std::condition_variable settled;
  int locked_fd = -1;          // the kept descriptor that holds the end-of-file lock
  Waiter *waiting = nullptr;   // records written since the last sync began, oldest first
  Waiter *waiting_tail = nullptr;
  bool syncing = false;
};

namespace {

// Few files are appended to at once, so a plain list is enough.
std::mutex registry_mutex;
FileLockEntry *registry = nullptr;

// Attempts made without sleeping before the wait starts to back off.
constexpr int kQuickAttempts = 8;
constexpr long kFirstSleepNs = 50'000;        // 50 us
constexpr long kLongestSleepNs = 10'000'000;  // 10 ms

// An OFD write lock on the file behind `fd` from its current end on.
int take_end_lock(int fd, LockDeadline deadline) noexcept {
  struct flock lock{};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_END;
  lock.l_start = 0;
  lock.l_len = 0;  // however far the file grows

  long sleep_ns = kFirstSleepNs;
  for (int attempt = 0;; ++attempt) {
    // SEEK_END: every attempt locks from the end of the file as it is then.
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return 1;
    if (errno != EAGAIN && errno != EACCES) return 0;
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = EAGAIN;
      return 0;
    }
    if (attempt < kQuickAttempts) continue;
    const timespec pause{0, sleep_ns};
    nanosleep(&pause, nullptr);
    sleep_ns = sleep_ns * 2 > kLongestSleepNs ? kLongestSleepNs : sleep_ns * 2;
  }
}

// Marks every waiter of the list `first` with `outcome`.
void settle(Waiter *first, int outcome, int error) noexcept {
  for (Waiter *waiter = first; waiter != nullptr; waiter = waiter->next) {
    waiter->outcome = outcome;
    waiter->error = error;
  }
}

// The sync of the records of `batch` (and of any written meanwhile), run by
// one of their appends through `fd` without holding `state`. A failure cuts
// the file back to before the oldest of them, once no append is writing.
void sync_batch(FileLockEntry &entry, Waiter *batch, int fd, const char *path, int dir,
                std::unique_lock<std::mutex> &state) noexcept {
  state.unlock();
  const bool synced = fdatasync(fd) == 0 &&
                      (batch->start != 0 || (dir >= 0 ? sync_directory_at(dir) : sync_parent_directory(path)));
  const int error = errno != 0 ? errno : EIO;
  if (synced) {
    state.lock();
    settle(batch, 1, 0);
    return;
  }
  std::lock_guard<WriteTurn> no_writer(entry.writing);
  state.lock();
  if (ftruncate(fd, batch->start) != 0) {
    // The records stay in the file; they are reported as failed all the same.
  }
  settle(batch, -1, error);
  settle(entry.waiting, -1, error);
  entry.waiting = entry.waiting_tail = nullptr;
}

}  // namespace

FileLockEntry *new_file_lock_entry() noexcept { return new (std::nothrow) FileLockEntry(); }

void discard_file_lock_entry(FileLockEntry *spare) noexcept { delete spare; }

FileLockEntry *acquire_file_lock(dev_t dev, ino_t ino, FileLockEntry *spare, LockDeadline deadline) noexcept {
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
  // The entry cannot go away while `users` counts us. The wait here counts
  // against the append's one deadline, like the wait for other processes.
  if (entry->writing.try_lock_until(deadline)) return entry;
  release_file_lock(entry, false);
  errno = EAGAIN;
  return nullptr;
}

int lock_end_of_file(FileLockEntry *entry, int fd, LockDeadline deadline, bool &kept) noexcept {
  kept = false;
  {
    std::lock_guard<std::mutex> guard(entry->state);
    if (entry->locked_fd >= 0) {
      // Records still waiting for their sync keep the lock where it is.
      if (entry->waiting != nullptr || entry->syncing) return 1;
      close(entry->locked_fd);
      entry->locked_fd = -1;
    }
  }
  // Taken without `state`: while this thread may write, no record can start
  // waiting, and the appends that are done may leave meanwhile.
  if (!take_end_lock(fd, deadline)) return 0;
  std::lock_guard<std::mutex> guard(entry->state);
  entry->locked_fd = fd;
  kept = true;
  return 1;
}

int sync_appended(FileLockEntry *entry, int fd, off_t start, const char *path, int dir) noexcept {
  Waiter self;
  self.start = start;
  std::unique_lock<std::mutex> state(entry->state);
  (entry->waiting_tail != nullptr ? entry->waiting_tail->next : entry->waiting) = &self;
  entry->waiting_tail = &self;
  entry->writing.unlock();  // the next append may write while this one waits
  while (self.outcome == 0) {
    if (entry->syncing) {
      entry->settled.wait(state);
      continue;
    }
    // This record is waiting and no sync is under way: sync everything
    // written so far.
    entry->syncing = true;
    Waiter *batch = entry->waiting;
    entry->waiting = entry->waiting_tail = nullptr;
    errno = 0;
    sync_batch(*entry, batch, fd, path, dir, state);
    entry->syncing = false;
    entry->settled.notify_all();
  }
  if (self.outcome > 0) return 1;
  errno = self.error;
  return 0;
}

void release_file_lock(FileLockEntry *entry, bool writing) noexcept {
  if (writing) entry->writing.unlock();
  std::lock_guard<std::mutex> guard(registry_mutex);
  if (--entry->users > 0) return;
  for (FileLockEntry **link = &registry; *link != nullptr; link = &(*link)->next)
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  // Nobody waits for a sync any more: the end-of-file lock goes with its
  // descriptor.
  if (entry->locked_fd >= 0) close(entry->locked_fd);
  delete entry;
}

std::size_t file_lock_entries() noexcept {
  std::lock_guard<std::mutex> guard(registry_mutex);
  std::size_t count = 0;
  for (const FileLockEntry *entry = registry; entry != nullptr; entry = entry->next) ++count;
  return count;
}

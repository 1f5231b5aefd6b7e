// Locks that keep Store In appends to one file whole.
//
// Two layers guard an append. fcntl record locks keep other processes out,
// but they belong to the whole process: two threads of ours would both get
// them, and closing any descriptor of the file drops all of them. So each
// append first takes a process-wide lock for the file, keyed by device and
// inode (the same file under two paths is one file), and holds it from open
// to close, around the record lock.
//
// Nothing here logs; callers report failures with their own lines. Safe on
// any connection thread.
#pragma once

#include <sys/types.h>

#include <cstddef>

struct FileLockEntry;

// A registry entry made before the file is opened, so that running out of
// memory cannot come between the open and the lock: a descriptor closed then
// would drop the record lock another thread holds on the same file. Null
// when memory cannot be allocated.
FileLockEntry *new_file_lock_entry() noexcept;

// Frees a spare entry that was not handed to acquire_file_lock.
void discard_file_lock_entry(FileLockEntry *spare) noexcept;

// Blocks until this thread holds the process-wide lock of the file (dev, ino)
// and returns its entry. Takes over `spare`, which becomes the entry when the
// file has none yet and is freed otherwise. Entries live only while some
// thread holds or waits for them.
FileLockEntry *acquire_file_lock(dev_t dev, ino_t ino, FileLockEntry *spare) noexcept;

// Gives the lock back; the entry is freed when nobody else uses it.
void release_file_lock(FileLockEntry *entry) noexcept;

// Number of entries in the registry (for tests: 0 when no append is running).
std::size_t file_lock_entries() noexcept;

// Takes an fcntl write lock on the `length` bytes that start at the current
// end of the file behind `fd` (0: everything from the end on, however far
// the file grows). While another process holds an overlapping
// lock it retries, at once a few times and then with sleeps that grow to
// 10 ms, for at most `wait_limit_ms`. Returns 1 when locked; 0 on failure
// with errno set (EAGAIN when the wait limit ran out).
int take_record_lock(int fd, off_t length, long wait_limit_ms) noexcept;

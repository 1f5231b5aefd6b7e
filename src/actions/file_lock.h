// Locks and shared syncs that keep Store In appends to one file whole and on
// disk.
//
// Two layers guard an append. A lock on the end of the file, an fcntl
// open-file-description (OFD) lock from where the next record starts on,
// keeps other processes out; it conflicts with their classic record locks as
// well. Inside the process, a per-file entry, keyed by device and inode (the
// same file under two paths is one file), lets one append write at a time.
//
// Syncing is shared (group commit). An append writes its record holding the
// entry, then hands the entry on to the next append and waits until an
// fdatasync that began after its write has ended; when none is under way it
// runs that sync itself, for every record written so far. The end-of-file
// lock stays taken, on a descriptor the entry keeps, until no record is
// waiting for its sync: a failed sync cuts the file back to where the oldest
// waiting record started, which must not take another process's record
// with it. Every record so cut away fails.
//
// An append waits for its turn in the process and for other processes'
// locks until one deadline, its own, set when it starts: messages queued
// behind one that waits give up together with it, not one limit after the
// other.
//
// Nothing here logs; callers report failures with their own lines. Safe on
// any connection thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>

using LockDeadline = std::chrono::steady_clock::time_point;

struct FileLockEntry;

// A registry entry made before the file is opened, so that running out of
// memory cannot come after the open. Null when memory cannot be allocated.
FileLockEntry *new_file_lock_entry() noexcept;

// Frees a spare entry that was not handed to acquire_file_lock.
void discard_file_lock_entry(FileLockEntry *spare) noexcept;

// Blocks until this thread may write to the file (dev, ino) and returns its
// entry; null with errno EAGAIN when `deadline` passes first. Takes over
// `spare`, which becomes the entry when the file has none yet and is freed
// otherwise. Entries live only while some thread uses them.
FileLockEntry *acquire_file_lock(dev_t dev, ino_t ino, FileLockEntry *spare, LockDeadline deadline) noexcept;

// While this thread may write: makes sure the process holds the end-of-file
// lock. When no record is waiting for its sync, the lock of the last appends
// is given back (the descriptor the entry kept is closed) and a new one is
// taken on `fd`, which the entry then keeps (`kept` set: the caller must not
// close it). While another process holds an overlapping lock it retries, at
// once a few times and then with sleeps that grow to 10 ms, until
// `deadline`. Returns 1, or 0 with errno set (EAGAIN when the deadline
// passed).
int lock_end_of_file(FileLockEntry *entry, int fd, LockDeadline deadline, bool &kept) noexcept;

// While this thread may write, once its record is written whole from offset
// `start` on through `fd`: lets the next append write, and waits until the
// record is on disk, syncing the file through `fd` itself when no sync is
// under way (and, when the oldest waiting record starts the file, its
// directory: `dir` when it is open, else the one that holds `path`).
// Returns 1 once the record is on disk; 0 with errno set when the sync
// failed, the file then cut back to before the oldest waiting record. The
// thread may no longer write afterwards.
int sync_appended(FileLockEntry *entry, int fd, off_t start, const char *path, int dir) noexcept;

// Gives the entry back (`writing`: the thread may still write, that is it
// has not called sync_appended). The entry is freed, with its descriptor,
// when nobody else uses it.
void release_file_lock(FileLockEntry *entry, bool writing) noexcept;

// Number of entries in the registry (for tests: 0 when no append is running).
std::size_t file_lock_entries() noexcept;

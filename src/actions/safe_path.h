// Opening a path whose last names the sender of the mail chose.
//
// A placeholder cannot add a "/", but its value can make a name of the path:
// a local user who may write the directory where that name lands could plant
// a symbolic link there and have mail written wherever the daemon may write.
// So every name of the path from the one that holds the first value the
// sender chose (Inserts::sender_from) on is looked up one at a time, without
// following a symbolic link, from the directory that the template's literal
// text before it names (opened normally: the administrator chose it). A
// symbolic link at such a name is followed only when it belongs to root or
// to the daemon's effective user: an administrator's link keeps working, a
// planted one fails with ELOOP. What the file at the last name must be is
// the caller's check.
//
// Nothing here logs; failures return with errno set. Safe on any thread.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>

// The directory that holds the last name of a path, open, and that name.
struct PathParent {
  int dir = -1;                   // an O_PATH descriptor; the caller closes it
  char name[NAME_MAX + 1] = {};   // "." when the path ends in "/"
};

// Opens the directory that holds the last name of `path`, where the names
// from the one holding offset `sender_from` on are the sender's (see
// above); a directory level that is not a directory fails with ENOTDIR.
// Returns false with errno set, `parent.dir` then -1.
bool open_parent_safely(const char *path, std::size_t sender_from, PathParent &parent) noexcept;

// Opens the last name in `parent.dir` with open(2)'s `flags` and `mode`
// (O_CLOEXEC added), not following a symbolic link there but a trusted one,
// which sets `through_link`; with O_PATH in `flags` that descriptor is the
// file behind such a link too. A trusted link is opened without O_NONBLOCK,
// which a caller may add so that a FIFO planted at the name cannot stop it.
// Returns the descriptor, or -1 with errno set.
int open_last_safely(const PathParent &parent, int flags, mode_t mode, bool &through_link) noexcept;

// Makes the missing directory levels of `path` (every name before its last),
// like mkdir -p: each with mode 0750 whatever the umask, synced into the
// directory that holds it. The names from the one holding `sender_from` on
// (Inserts::kNone: none) are looked up as above, so no link there is
// followed but a trusted one. A level that another thread or process makes
// meanwhile counts as made; one that exists and is not a directory fails
// with ENOTDIR. Returns false with errno set; the levels made stay.
bool make_missing_directories(const char *path, std::size_t sender_from) noexcept;

// fsync of the directory `dir` (which may be an O_PATH descriptor). Returns
// false with errno set.
bool sync_directory_at(int dir) noexcept;

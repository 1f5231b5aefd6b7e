// Scratch directories and whole-file reads and writes for tests.
//
// A TempDir is a fresh directory in /tmp (always there: tests that check
// nothing escapes a directory look at /tmp), mode 0755 so that a daemon
// started as another user can reach it; it is removed with everything in it
// when the object goes. `dir / name` is the path of an entry. Safe on any
// thread; each object owns its own directory.
#pragma once

#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  // Names in the directory, sorted.
  std::vector<std::string> entries() const { return entries_of(path_); }
  static std::vector<std::string> entries_of(const std::string &path);

 private:
  std::string path_;
};

// The whole file, or "" when it cannot be read.
std::string read_file(const std::string &path);

// Replaces the file's contents.
void write_file(const std::string &path, const std::string &contents);

// Whether anything (a dangling link too) has this name.
bool file_exists(const std::string &path);

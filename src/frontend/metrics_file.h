// The metrics file (-m): the daemon's counters in the Prometheus text
// exposition format, for the node exporter's text-file collector.
//
// print_metrics writes the counters of this moment to a stream: the version,
// messages filtered and failed (by verdict), the rules in use with the time
// they were loaded and each one's matches (labelled with its number from 1
// and its line in the file; they start from zero with each new set),
// actions by kind and result with their time, and reloads by result.
//
// MetricsFile::update writes the file whole: into "<path>.tmp" beside it
// (mode 0644 whatever the umask, since the exporter runs as another user),
// renamed over the path, so a reader sees the previous file or the new one.
// A file that cannot be written changes nothing else: the first failure
// after a success (or at start) logs one WARNING line on the filter's log,
//   Quorvane(metrics): WARNING - Could not write metrics file '<path>'. (errno: %d:%s).
// and the failures after it none, until one succeeds.
//
// Threads: update runs on one thread at a time (the reload thread, then the
// initial thread at shutdown); the counters it reads are written
// concurrently, each read on its own.
#pragma once

#include <cstdio>
#include <memory>

#include "frontend/reload.h"
#include "milter/filter.h"

void print_metrics(std::FILE *out, const Filter &filter, const ReloadStats &reloads, const char *version) noexcept;

class MetricsFile {
 public:
  MetricsFile() = default;
  MetricsFile(const MetricsFile &) = delete;
  MetricsFile &operator=(const MetricsFile &) = delete;

  // The file to write from now on: an absolute path (see absolute_path).
  // Returns false when memory ran out.
  bool set_path(const char *path) noexcept;

  // Writes the file, when a path is set.
  void update(const Filter &filter, const ReloadStats &reloads, const char *version) noexcept;

 private:
  std::unique_ptr<char[]> path_;
  std::unique_ptr<char[]> temporary_;
  bool failing_ = false;
};

// The daemon's own thread: it waits for SIGUSR1, which reloads the rule file
// (reload_rules), and writes the metrics file (MetricsFile) when it starts,
// every 15 seconds and after each reload attempt.
//
// SIGUSR1 must be blocked in every thread, so that the one sent to the
// process waits for this thread's sigtimedwait: block_reload_signal blocks it
// in the calling thread, and the initial thread calls it before any other
// thread exists (the milter library's threads inherit the mask). The thread
// itself also starts with SIGHUP, SIGTERM and SIGINT blocked: the milter
// library ends the daemon on those from a signal thread of its own, and none
// may be delivered here instead; this thread waits for SIGUSR1 alone.
//
// Threads: start and stop are called on the initial thread; what the thread
// uses (the filter, the stats, the metrics file) must outlive stop.
#pragma once

#include <pthread.h>

#include <atomic>

#include "frontend/metrics_file.h"
#include "frontend/reload.h"
#include "milter/filter.h"

// Blocks SIGUSR1 in the calling thread.
void block_reload_signal() noexcept;

class ControlThread {
 public:
  ControlThread(Filter &filter, ReloadStats &reloads, MetricsFile &metrics, const char *version) noexcept
      : filter_(filter), reloads_(reloads), metrics_(metrics), version_(version) {}
  ControlThread(const ControlThread &) = delete;
  ControlThread &operator=(const ControlThread &) = delete;
  ~ControlThread() { stop(); }

  // Starts the thread, which reloads from `rule_path` (absolute; kept by the
  // caller). Returns false with errno set when it could not be started.
  bool start(const char *rule_path) noexcept;

  // Ends the thread (a reload under way finishes first) and waits for it.
  void stop() noexcept;

 private:
  static void *run(void *self) noexcept;
  void serve() noexcept;

  Filter &filter_;
  ReloadStats &reloads_;
  MetricsFile &metrics_;
  const char *version_;
  const char *rule_path_ = nullptr;
  pthread_t thread_{};
  bool running_ = false;
  std::atomic<bool> stopping_{false};
};

// The reload and metrics thread: sigtimedwait on SIGUSR1 with the time to the
// next metrics write as its limit.
#include "frontend/control_thread.h"

#include <signal.h>

#include <cerrno>
#include <chrono>

namespace {

constexpr std::chrono::seconds kMetricsInterval{15};

sigset_t reload_signal() noexcept {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR1);
  return set;
}

timespec as_timespec(std::chrono::steady_clock::duration left) noexcept {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
  return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

}  // namespace

void block_reload_signal() noexcept {
  const sigset_t set = reload_signal();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool ControlThread::start(const char *rule_path) noexcept {
  rule_path_ = rule_path;
  // The new thread inherits the mask of this moment.
  sigset_t blocked = reload_signal();
  sigaddset(&blocked, SIGHUP);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const int failed = pthread_create(&thread_, nullptr, &ControlThread::run, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (failed != 0) {
    errno = failed;
    return false;
  }
  running_ = true;
  return true;
}

void ControlThread::stop() noexcept {
  if (!running_) return;
  stopping_.store(true);
  // Wakes its sigtimedwait; one sent while it reloads waits for the next.
  pthread_kill(thread_, SIGUSR1);
  pthread_join(thread_, nullptr);
  running_ = false;
}

void *ControlThread::run(void *self) noexcept {
  static_cast<ControlThread *>(self)->serve();
  return nullptr;
}

void ControlThread::serve() noexcept {
  const sigset_t wanted = reload_signal();
  metrics_.update(filter_, reloads_, version_);
  auto next_write = std::chrono::steady_clock::now() + kMetricsInterval;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= next_write) {
      metrics_.update(filter_, reloads_, version_);
      next_write = now + kMetricsInterval;
      continue;
    }
    const timespec left = as_timespec(next_write - now);
    const int signal = sigtimedwait(&wanted, nullptr, &left);
    if (stopping_.load()) return;
    if (signal != SIGUSR1) continue;  // the time is up, or EINTR
    reload_rules(rule_path_, filter_, reloads_);
    metrics_.update(filter_, reloads_, version_);
  }
}

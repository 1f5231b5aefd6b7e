// The metrics file: the counters as Prometheus text, written whole.
#include "frontend/metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <new>

namespace {

constexpr std::uint64_t kNanosecondsPerSecond = 1000 * 1000 * 1000;

void print_header(std::FILE *out, const char *name, const char *type, const char *help) noexcept {
  std::fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void print_rules(std::FILE *out, const RuleSet &set, const ReloadStats &reloads) noexcept {
  std::uint64_t count = 0;
  for (const Rule *rule = set.rules.head.get(); rule != nullptr; rule = rule->next.get()) ++count;
  print_header(out, "quorvane_rules", "gauge", "Rules in the rule set in use.");
  std::fprintf(out, "quorvane_rules %" PRIu64 "\n", count);
  print_header(out, "quorvane_rules_loaded_timestamp_seconds", "gauge",
               "When the rule set in use was loaded, in seconds since the epoch.");
  std::fprintf(out, "quorvane_rules_loaded_timestamp_seconds %lld\n", static_cast<long long>(reloads.loaded_at));
  print_header(out, "quorvane_rule_matches_total", "counter",
               "Messages matched by each rule of the set in use since it was loaded.");
  unsigned number = 0;
  for (const Rule *rule = set.rules.head.get(); rule != nullptr; rule = rule->next.get())
    std::fprintf(out, "quorvane_rule_matches_total{rule=\"%u\",line=\"%u\"} %" PRIu64 "\n", ++number,
                 static_cast<unsigned>(rule->line), rule->matches.load(std::memory_order_relaxed));
}

void print_actions(std::FILE *out, const ActionCounters &counters) noexcept {
  print_header(out, "quorvane_actions_total", "counter", "Actions run, by kind and result.");
  for (std::size_t i = 0; i < kActionKindCount; ++i) {
    const auto kind = static_cast<ActionType>(i);
    const ActionCounters::Kind &counted = counters.of(kind);
    const char *name = action_kind(kind).metric;
    std::fprintf(out, "quorvane_actions_total{kind=\"%s\",result=\"success\"} %" PRIu64 "\n", name,
                 counted.succeeded.load(std::memory_order_relaxed));
    std::fprintf(out, "quorvane_actions_total{kind=\"%s\",result=\"failure\"} %" PRIu64 "\n", name,
                 counted.failed.load(std::memory_order_relaxed));
  }
  print_header(out, "quorvane_action_duration_seconds", "summary", "Time spent running actions, by kind.");
  for (std::size_t i = 0; i < kActionKindCount; ++i) {
    const auto kind = static_cast<ActionType>(i);
    const ActionCounters::Kind &counted = counters.of(kind);
    const char *name = action_kind(kind).metric;
    const std::uint64_t nanoseconds = counted.nanoseconds.load(std::memory_order_relaxed);
    std::fprintf(out, "quorvane_action_duration_seconds_sum{kind=\"%s\"} %" PRIu64 ".%09" PRIu64 "\n", name,
                 nanoseconds / kNanosecondsPerSecond, nanoseconds % kNanosecondsPerSecond);
    std::fprintf(out, "quorvane_action_duration_seconds_count{kind=\"%s\"} %" PRIu64 "\n", name,
                 counted.succeeded.load(std::memory_order_relaxed) + counted.failed.load(std::memory_order_relaxed));
  }
}

// Writes `temporary` and renames it over `path`. False with errno set when
// any step failed; the temporary file is then gone.
bool write_whole(const char *path, const char *temporary, const Filter &filter, const ReloadStats &reloads,
                 const char *version) noexcept {
  // One left by a process that was killed while writing is of no use.
  unlink(temporary);
  // O_EXCL: never write through a link planted under the temporary name.
  const int descriptor = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (descriptor < 0) return false;
  std::FILE *out = fchmod(descriptor, 0644) == 0 ? fdopen(descriptor, "w") : nullptr;
  if (out == nullptr) {
    const int saved = errno;
    close(descriptor);
    unlink(temporary);
    errno = saved;
    return false;
  }
  print_metrics(out, filter, reloads, version);
  const bool written = std::ferror(out) == 0;
  const int saved = errno;
  if (std::fclose(out) == 0 && written && std::rename(temporary, path) == 0) return true;
  const int failure = written ? errno : saved;
  unlink(temporary);
  errno = failure;
  return false;
}

}  // namespace

void print_metrics(std::FILE *out, const Filter &filter, const ReloadStats &reloads, const char *version) noexcept {
  const FilterCounters &counters = filter.counters;
  print_header(out, "quorvane_build_info", "gauge", "The version of the running daemon.");
  std::fprintf(out, "quorvane_build_info{version=\"%s\"} 1\n", version);
  print_header(out, "quorvane_messages_total", "counter", "Messages whose rules ran at their end.");
  std::fprintf(out, "quorvane_messages_total %" PRIu64 "\n", counters.messages.load(std::memory_order_relaxed));
  print_header(out, "quorvane_messages_failed_total", "counter",
               "Messages whose handling failed, by the verdict of the error policy.");
  const std::uint64_t failed = counters.failed.load(std::memory_order_relaxed);
  const bool accepted = filter.settings.accept_on_error;
  std::fprintf(out, "quorvane_messages_failed_total{verdict=\"continue\"} %" PRIu64 "\n", accepted ? failed : 0);
  std::fprintf(out, "quorvane_messages_failed_total{verdict=\"tempfail\"} %" PRIu64 "\n", accepted ? 0 : failed);
  print_rules(out, *filter.rules(), reloads);
  print_actions(out, counters.actions);
  print_header(out, "quorvane_reloads_total", "counter", "Rule file reloads, by result.");
  std::fprintf(out, "quorvane_reloads_total{result=\"success\"} %" PRIu64 "\n", reloads.succeeded);
  std::fprintf(out, "quorvane_reloads_total{result=\"failure\"} %" PRIu64 "\n", reloads.failed);
}

bool MetricsFile::set_path(const char *path) noexcept {
  const std::size_t length = std::strlen(path);
  path_.reset(new (std::nothrow) char[length + 1]);
  temporary_.reset(new (std::nothrow) char[length + sizeof ".tmp"]);
  if (!path_ || !temporary_) {
    path_.reset();
    return false;
  }
  std::memcpy(path_.get(), path, length + 1);
  std::memcpy(temporary_.get(), path, length);
  std::memcpy(temporary_.get() + length, ".tmp", sizeof ".tmp");
  return true;
}

void MetricsFile::update(const Filter &filter, const ReloadStats &reloads, const char *version) noexcept {
  if (!path_) return;
  if (write_whole(path_.get(), temporary_.get(), filter, reloads, version)) {
    failing_ = false;
    return;
  }
  if (failing_) return;
  failing_ = true;
  const int number = errno;
  char reason[256];
  filter.log.warning("metrics", "Could not write metrics file '%s'. (errno: %d:%s).", path_.get(), number,
                     strerror_r(number, reason, sizeof reason));
}

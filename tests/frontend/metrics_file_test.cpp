// The metrics file: the exposition text byte for byte, the file written whole
// and readable by the exporter, one warning per failure streak.
#include "frontend/metrics_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/milter_helpers.h"

namespace {

std::string metrics_text(const Filter &filter, const ReloadStats &reloads) {
  char *buffer = nullptr;
  std::size_t size = 0;
  std::FILE *out = open_memstream(&buffer, &size);
  print_metrics(out, filter, reloads, "1.2");
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

const char kGolden[] = R"(# HELP quorvane_build_info The version of the running daemon.
# TYPE quorvane_build_info gauge
quorvane_build_info{version="1.2"} 1
# HELP quorvane_messages_total Messages whose rules ran at their end.
# TYPE quorvane_messages_total counter
quorvane_messages_total 7
# HELP quorvane_messages_failed_total Messages whose handling failed, by the verdict of the error policy.
# TYPE quorvane_messages_failed_total counter
quorvane_messages_failed_total{verdict="continue"} 2
quorvane_messages_failed_total{verdict="tempfail"} 0
# HELP quorvane_rules Rules in the rule set in use.
# TYPE quorvane_rules gauge
quorvane_rules 2
# HELP quorvane_rules_loaded_timestamp_seconds When the rule set in use was loaded, in seconds since the epoch.
# TYPE quorvane_rules_loaded_timestamp_seconds gauge
quorvane_rules_loaded_timestamp_seconds 1700000000
# HELP quorvane_rule_matches_total Messages matched by each rule of the set in use since it was loaded.
# TYPE quorvane_rule_matches_total counter
quorvane_rule_matches_total{rule="1",line="3"} 7
quorvane_rule_matches_total{rule="2",line="12"} 0
# HELP quorvane_actions_total Actions run, by kind and result.
# TYPE quorvane_actions_total counter
quorvane_actions_total{kind="store_in",result="success"} 6
quorvane_actions_total{kind="store_in",result="failure"} 1
quorvane_actions_total{kind="add_header",result="success"} 0
quorvane_actions_total{kind="add_header",result="failure"} 0
quorvane_actions_total{kind="pipe",result="success"} 0
quorvane_actions_total{kind="pipe",result="failure"} 1
quorvane_actions_total{kind="maildir",result="success"} 0
quorvane_actions_total{kind="maildir",result="failure"} 0
quorvane_actions_total{kind="add_recipient",result="success"} 0
quorvane_actions_total{kind="add_recipient",result="failure"} 0
# HELP quorvane_action_duration_seconds Time spent running actions, by kind.
# TYPE quorvane_action_duration_seconds summary
quorvane_action_duration_seconds_sum{kind="store_in"} 0.001750000
quorvane_action_duration_seconds_count{kind="store_in"} 7
quorvane_action_duration_seconds_sum{kind="add_header"} 0.000000000
quorvane_action_duration_seconds_count{kind="add_header"} 0
quorvane_action_duration_seconds_sum{kind="pipe"} 2.000000001
quorvane_action_duration_seconds_count{kind="pipe"} 1
quorvane_action_duration_seconds_sum{kind="maildir"} 0.000000000
quorvane_action_duration_seconds_count{kind="maildir"} 0
quorvane_action_duration_seconds_sum{kind="add_recipient"} 0.000000000
quorvane_action_duration_seconds_count{kind="add_recipient"} 0
# HELP quorvane_reloads_total Rule file reloads, by result.
# TYPE quorvane_reloads_total counter
quorvane_reloads_total{result="success"} 3
quorvane_reloads_total{result="failure"} 1
)";

// A filter whose counters hold what kGolden shows.
struct Counted {
  explicit Counted(int accept) : rules(0, accept) {
    Rule &first = rules.add(single_term(FIELD_MATCH_ALL));
    first.line = 3;
    first.matches = 7;
    rules.add(single_term(FIELD_NOT_MATCHED)).line = 12;
    FilterCounters &counters = rules.filter.counters;
    counters.messages = 7;
    counters.failed = 2;
    for (int i = 0; i < 6; ++i) counters.actions.count(ACTION_STORE_IN, true, 250000);
    counters.actions.count(ACTION_STORE_IN, false, 250000);
    counters.actions.count(ACTION_PIPE, false, 2000000001);
    reloads.succeeded = 3;
    reloads.failed = 1;
    reloads.loaded_at = 1700000000;
  }
  TestFilter rules;
  ReloadStats reloads;
};

TEST(PrintMetrics, ExpositionTextByteForByte) {
  Counted accepting(1);
  EXPECT_EQ(metrics_text(accepting.rules.filter, accepting.reloads), kGolden);
  // With -a a failed message gets a temporary failure.
  Counted refusing(0);
  const std::string text = metrics_text(refusing.rules.filter, refusing.reloads);
  EXPECT_NE(text.find("{verdict=\"continue\"} 0\nquorvane_messages_failed_total{verdict=\"tempfail\"} 2\n"),
            std::string::npos);
}

TEST(MetricsFile, WrittenWholeAndOneWarningPerFailureStreak) {
  TempDir dir;
  const std::string path = dir / "out/quorvane.prom";
  Counted counted(1);
  const Filter &filter = counted.rules.filter;
  MetricsFile metrics;
  ASSERT_TRUE(metrics.set_path(path.c_str()));
  const std::string missing = "<time> Quorvane(metrics): WARNING - Could not write metrics file '" + path +
                              "'. (errno: 2:No such file or directory).\n";
  const std::string directory =
      "<time> Quorvane(metrics): WARNING - Could not write metrics file '" + path + "'. (errno: 21:Is a directory).\n";
  struct Step {
    const char *name;
    void (*before)(const std::string &path);
    std::vector<std::string> want_lines;  // all lines so far
    bool want_file;
  } steps[] = {
      {"missing directory", [](const std::string &) {}, {missing}, false},
      {"still missing: no second line", [](const std::string &) {}, {missing}, false},
      {"directory made: written", [](const std::string &p) { mkdir(p.substr(0, p.rfind('/')).c_str(), 0755); },
       {missing}, true},
      {"path taken by a directory: a new streak",
       [](const std::string &p) {
         unlink(p.c_str());
         mkdir(p.c_str(), 0755);
         mkdir((p + "/keep").c_str(), 0755);
       },
       {missing, directory}, false},
      {"still a directory", [](const std::string &) {}, {missing, directory}, false},
  };
  const mode_t saved_umask = umask(077);  // the file is for another user to read all the same
  for (const Step &step : steps) {
    SCOPED_TRACE(step.name);
    step.before(path);
    metrics.update(filter, counted.reloads, "1.2");
    EXPECT_EQ(counted.rules.lines(), step.want_lines);
    EXPECT_FALSE(file_exists(path + ".tmp"));
    struct stat info {};
    if (step.want_file) {
      ASSERT_EQ(stat(path.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0644u);
      EXPECT_EQ(read_file(path), kGolden);
    }
  }
  umask(saved_umask);
}

}  // namespace

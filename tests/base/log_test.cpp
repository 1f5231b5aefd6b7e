// Log lines: the four kinds, the policy texts, errno, lifecycle and warning
// lines, and the ctime layout.
#include "base/log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Runs `write` with a Log of the given policy whose stream is a temporary
// file; returns what was written.
template <class Write>
std::string capture_log(int accept, Write write) {
  std::FILE *file = std::tmpfile();
  Log log(accept != 0);
  log.set_stream(file);
  write(log);
  std::string text;
  std::rewind(file);
  for (int ch; (ch = std::fgetc(file)) != EOF;) text += static_cast<char>(ch);
  std::fclose(file);
  return text;
}

struct LineCase {
  const char *name;
  const char *where;
  const char *what;
  int kind;
  int error;
  int accept;
  std::string want;  // the line after its timestamp and space
};

TEST(LogEvent, WritesOneLinePerKind) {
  const std::string tabs = "\t\t\t\t\t";
  const std::vector<LineCase> cases = {
      {"no memory, accepting", "mlfi_envfrom", "sender address", LOG_NO_MEMORY, ENOMEM, 1,
       "Quorvane(mlfi_envfrom): ERROR - Could not allocate memory for sender address. " + tabs +
           "perhaps system or process memory limits have been reached? Mail accepted despite error.\n"},
      {"no memory, refusing", "mlfi_body", "body data", LOG_NO_MEMORY, ENOMEM, 0,
       "Quorvane(mlfi_body): ERROR - Could not allocate memory for body data. " + tabs +
           "perhaps system or process memory limits have been reached? Mail returned to sender.\n"},
      {"no private data: policy where the operation would be", "mlfi_header", "ignored", LOG_NO_PRIVATE_DATA, 0, 1,
       "Quorvane(mlfi_header): ERROR - Private data was not found " + tabs +
           "durining Mail accepted despite error. This should never happen!\n"},
      {"no private data, refusing", "mlfi_cleanup", nullptr, LOG_NO_PRIVATE_DATA, 0, 0,
       "Quorvane(mlfi_cleanup): ERROR - Private data was not found " + tabs +
           "durining Mail returned to sender. This should never happen!\n"},
      {"error with errno text", "mlfi_eom", "Could not open file '/no/such/dir/box'.", LOG_ERROR, ENOENT, 1,
       "Quorvane(mlfi_eom): ERROR - Could not open file '/no/such/dir/box'. (errno: 2:No such file or directory). "
       "Mail accepted despite error.\n"},
      {"error, refusing", "ActionPipe", "Failure executing program 'false'.", LOG_ERROR, ECHILD, 0,
       "Quorvane(ActionPipe): ERROR - Failure executing program 'false'. (errno: 10:No child processes). "
       "Mail returned to sender.\n"},
      {"warning has no policy text", "PrintMail", "Message contains no headers.", LOG_WARNING, 0, 0,
       "Quorvane(PrintMail): WARNING - Message contains no headers. (errno: 0:Success).\n"},
      {"unknown kind", "mlfi_eom", "x", 4, 0, 1, ""},
      {"negative kind", "mlfi_eom", "x", -1, 0, 1, ""},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.name);
    int errno_after = -1;
    std::time_t before = 0, after = 0;
    const std::string text = capture_log(c.accept, [&](const Log &log) {
      before = std::time(nullptr);
      errno = c.error;
      log.event(c.where, c.what, c.kind);
      errno_after = errno;
      after = std::time(nullptr);
    });
    EXPECT_EQ(errno_after, c.error) << "errno is left as it was";
    if (c.want.empty()) {
      EXPECT_EQ(text, "");
      continue;
    }
    ASSERT_GT(text.size(), 25u);
    const std::string stamp = text.substr(0, 24);
    EXPECT_TRUE(stamp == format_ctime(before).text || stamp == format_ctime(after).text) << stamp;
    EXPECT_EQ(text[24], ' ');
    EXPECT_EQ(text.substr(25), c.want);
  }
}

// Lifecycle lines: one timestamped line each, however long the text, and
// errno left alone.
TEST(LogLifecycle, WritesOneWholeLine) {
  const std::string long_path(3000, 'p');
  int errno_after = -1;
  const std::string text = capture_log(1, [&](const Log &log) {
    errno = EACCES;
    log.lifecycle("Started. Logging to file enabled.");
    log.lifecycle("Unable to remove pidfile \"%s\" on exit (errno: %d:%s)", long_path.c_str(), 2, "x");
    errno_after = errno;
  });
  EXPECT_EQ(errno_after, EACCES);
  const std::size_t first_end = text.find('\n');
  ASSERT_NE(first_end, std::string::npos);
  EXPECT_EQ(text.substr(24, first_end + 1 - 24), " Quorvane: Started. Logging to file enabled.\n");
  const std::string second = text.substr(first_end + 1);
  ASSERT_GT(second.size(), 25u);
  EXPECT_EQ(second.substr(24), " Quorvane: Unable to remove pidfile \"" + long_path + "\" on exit (errno: 2:x)\n");
}

// Warnings that are not about a failed call: the operation, no errno text,
// one whole line however long.
TEST(LogWarning, WritesOneWholeLineWithoutErrno) {
  const std::string long_path(3000, 'p');
  int errno_after = -1;
  const std::string text = capture_log(0, [&](const Log &log) {
    errno = ENOENT;
    log.warning("reload", "Rule file \"%s\": %s", long_path.c_str(), "Parsing error - expected From");
    errno_after = errno;
  });
  EXPECT_EQ(errno_after, ENOENT);
  ASSERT_GT(text.size(), 24u);
  EXPECT_EQ(text.substr(24),
            " Quorvane(reload): WARNING - Rule file \"" + long_path + "\": Parsing error - expected From\n");
}

TEST(LogTimestamp, HasTheCtimeLayout) {
  const char *saved = std::getenv("TZ");
  const std::string saved_tz = saved != nullptr ? saved : "";
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_STREQ(format_ctime(1000000000).text, "Sun Sep  9 01:46:40 2001");  // day padded with a space
  EXPECT_STREQ(format_ctime(1700000000).text, "Tue Nov 14 22:13:20 2023");
  EXPECT_STREQ(format_ctime(0).text, "Thu Jan  1 00:00:00 1970");
  if (saved != nullptr)
    setenv("TZ", saved_tz.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_EQ(std::string(log_timestamp().text).size(), 24u);
}

}  // namespace

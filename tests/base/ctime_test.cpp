// The date text of log lines and mailbox records has the ctime layout for
// every time, in the local zone, without a shared buffer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/log.h"

namespace {

std::string library_ctime(std::time_t when) {
  char buffer[64];
  std::tm local{};
  localtime_r(&when, &local);
  asctime_r(&local, buffer);
  buffer[std::strcspn(buffer, "\n")] = '\0';
  return buffer;
}

TEST(FormatCtime, MatchesTheLibraryLayoutAcrossYearsAndDays) {
  // Single-digit days and hours, leap days, the turn of a century and a
  // far future year, stepping by an odd number of seconds.
  for (std::time_t when = 0; when < 4102444800; when += 7919993) EXPECT_EQ(format_ctime(when).text, library_ctime(when));
  EXPECT_STREQ(format_ctime(951782400).text, library_ctime(951782400).c_str());  // 29 Feb 2000 UTC
}

TEST(FormatCtime, IsTwentyFourCharacters) {
  EXPECT_EQ(std::strlen(format_ctime(std::time(nullptr)).text), 24u);
  EXPECT_EQ(std::strlen(log_timestamp().text), 24u);
}

}  // namespace

// Option negotiation: requested actions, the Add Header warning, the
// protocol steps asked for, and the answer to an old library.
#include <gtest/gtest.h>
#include <libmilter/mfdef.h>

#include <string>

#include "milter/filter.h"
#include "rules/parser.h"
#include "support/fake_smfi.h"

namespace {

constexpr unsigned long kUnset = 0xdeadUL;
constexpr unsigned long kAllSteps = 0x1fffffUL;
constexpr char kWarning[] =
    "WARNING: the config file includes Add Headers actions, but the MTA **does not support** adding "
    "headers!!\nAdd Headers actions will be ignored!\n";

struct Answer {
  sfsistat result;
  unsigned long actions = kUnset, steps = kUnset, word2 = kUnset, word3 = kUnset;
  std::string warning;
};

Answer negotiate(unsigned long offered_actions, unsigned long offered_steps, int has_add_header,
                 FakeVersion version = {}) {
  const FakeVersion saved_version = fake_version;
  const int saved_config = config_has_add_header;
  fake_version = version;
  config_has_add_header = has_add_header;
  FakeConnection connection;
  Answer answer{};
  answer.actions = answer.steps = answer.word2 = answer.word3 = kUnset;
  testing::internal::CaptureStderr();
  answer.result = mlfi_negotiate(connection.ctx(), offered_actions, offered_steps, 0, 0, &answer.actions,
                                 &answer.steps, &answer.word2, &answer.word3);
  answer.warning = testing::internal::GetCapturedStderr();
  fake_version = saved_version;
  config_has_add_header = saved_config;
  return answer;
}

struct ActionCase {
  const char *name;
  unsigned long offered;
  int has_add_header;
  int want_enabled;
  unsigned long want_actions;
  bool want_warning;
};

TEST(Negotiate, AsksForBothModificationsOnlyWhenBothAreOffered) {
  const std::vector<ActionCase> cases = {
      {"both offered", SMFIF_ADDHDRS | SMFIF_ADDRCPT, 1, 1, 5, false},
      {"everything offered", 0x1ff, 1, 1, 5, false},
      {"no add-recipient, Add Header in rules", SMFIF_ADDHDRS, 1, 0, 0, true},
      {"no add-header, Add Header in rules", SMFIF_ADDRCPT | SMFIF_CHGHDRS, 1, 0, 0, true},
      {"neither, no Add Header in rules", 0, 0, 0, 0, false},
  };
  for (const ActionCase &c : cases) {
    SCOPED_TRACE(c.name);
    add_headers_enabled = 1 - c.want_enabled;
    const Answer answer = negotiate(c.offered, kAllSteps, c.has_add_header);
    EXPECT_EQ(add_headers_enabled.load(), c.want_enabled);
    EXPECT_EQ(answer.actions, c.want_actions);
    EXPECT_EQ(answer.warning, c.want_warning ? kWarning : "");
    EXPECT_EQ(answer.result, SMFIS_CONTINUE);
  }
}

TEST(Negotiate, WarnsOnEveryConnectionThatLacksTheActions) {
  EXPECT_EQ(negotiate(SMFIF_ADDHDRS, kAllSteps, 1).warning, kWarning);
  EXPECT_EQ(negotiate(SMFIF_ADDHDRS, kAllSteps, 1).warning, kWarning);
}

struct StepCase {
  const char *name;
  unsigned long offered;
  unsigned long want;
};

TEST(Negotiate, AsksToSkipOnlyOfferedUnusedSteps) {
  const std::vector<StepCase> cases = {
      {"all offered: connect, HELO, end of headers, unknown", kAllSteps,
       SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NOEOH | SMFIP_NOUNKNOWN},
      {"DATA is never skipped", SMFIP_NOHELO | SMFIP_NODATA, SMFIP_NOHELO},
      {"steps the filter needs stay on", SMFIP_NOMAIL | SMFIP_NORCPT | SMFIP_NOBODY | SMFIP_NOHDRS | SMFIP_NOEOH,
       SMFIP_NOEOH},
      {"nothing offered", 0, 0},
  };
  for (const StepCase &c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer = negotiate(SMFIF_ADDHDRS | SMFIF_ADDRCPT, c.offered, 0);
    EXPECT_EQ(answer.result, SMFIS_CONTINUE);
    EXPECT_EQ(answer.steps, c.want);
    EXPECT_EQ(answer.word2, 0u);
    EXPECT_EQ(answer.word3, 0u);
  }
}

struct VersionCase {
  const char *name;
  FakeVersion version;
  sfsistat want;
};

TEST(Negotiate, OldLibraryGetsAllOptions) {
  const std::vector<VersionCase> cases = {
      {"1.0.0", {1, 0, 0}, SMFIS_ALL_OPTS},
      {"0.9.9", {0, 9, 9}, SMFIS_ALL_OPTS},
      {"1.0.1", {1, 0, 1}, SMFIS_CONTINUE},
      {"1.1.0", {1, 1, 0}, SMFIS_CONTINUE},
  };
  for (const VersionCase &c : cases) {
    SCOPED_TRACE(c.name);
    add_headers_enabled = 0;
    const Answer answer = negotiate(SMFIF_ADDHDRS | SMFIF_ADDRCPT, kAllSteps, 0, c.version);
    EXPECT_EQ(answer.result, c.want);
    EXPECT_EQ(add_headers_enabled.load(), 1) << "set before the version is asked";
    EXPECT_EQ(answer.actions, 5u);
    if (c.want == SMFIS_ALL_OPTS) {
      EXPECT_EQ(answer.steps, kUnset);
      EXPECT_EQ(answer.word2, kUnset);
      EXPECT_EQ(answer.word3, kUnset);
    }
  }
}

}  // namespace

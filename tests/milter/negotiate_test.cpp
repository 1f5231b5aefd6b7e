// Option negotiation: requested actions, the Add Header warning, the
// protocol steps asked for, and the answer to an old library.
#include <gtest/gtest.h>
#include <libmilter/mfdef.h>

#include <string>

#include "milter/callbacks.h"
#include "support/fake_smfi.h"
#include "support/milter_helpers.h"

namespace {

constexpr unsigned long kUnset = 0xdeadUL;
constexpr unsigned long kAllSteps = 0x1fffffUL;
constexpr char kWarning[] =
    "WARNING: the config file includes Add Headers actions, but the MTA **does not support** adding "
    "headers!!\nAdd Headers actions will be ignored!\n";
constexpr char kRecipientWarning[] =
    "WARNING: the config file includes Add Recipient actions, but the MTA **does not support** adding "
    "recipients!!\nAdd Recipient actions will be ignored!\n";

struct Answer {
  sfsistat result;
  unsigned long actions = kUnset, steps = kUnset, word2 = kUnset, word3 = kUnset;
  std::string warning;
  int enabled = -1;  // what the connection keeps, -1 when nothing was attached
};

// One MTA connection's negotiation with a filter whose rules do or do not
// hold an Add Header, against a milter library of `version`.
Answer negotiate(unsigned long offered_actions, unsigned long offered_steps, int has_add_header,
                 FakeVersion version = {}) {
  TestFilter filter;
  filter.rules->has_add_header = (has_add_header & 1) != 0;
  filter.rules->has_add_recipient = (has_add_header & 2) != 0;
  fake_version = version;
  FakeConnection connection;
  Answer answer{};
  answer.actions = answer.steps = answer.word2 = answer.word3 = kUnset;
  testing::internal::CaptureStderr();
  answer.result = mlfi_negotiate(connection.ctx(), offered_actions, offered_steps, 0, 0, &answer.actions,
                                 &answer.steps, &answer.word2, &answer.word3);
  answer.warning = testing::internal::GetCapturedStderr();
  fake_version = FakeVersion{};
  if (const auto *kept = static_cast<const Connection *>(connection.priv)) answer.enabled = kept->add_headers_enabled;
  return answer;
}

struct ActionCase {
  const char *name;
  unsigned long offered;
  int has_add_header;  // 1: Add Header in the rules, 2: Add Recipient, 3: both
  int want_enabled;
  unsigned long want_actions;
  std::string want_warning;
};

TEST(Negotiate, AsksForBothModificationsOnlyWhenBothAreOffered) {
  const std::vector<ActionCase> cases = {
      {"both offered", SMFIF_ADDHDRS | SMFIF_ADDRCPT, 3, 1, 5, ""},
      {"everything offered", 0x1ff, 1, 1, 5, ""},
      {"no add-recipient, Add Header in rules", SMFIF_ADDHDRS, 1, 0, 0, kWarning},
      {"no add-header, Add Header in rules", SMFIF_ADDRCPT | SMFIF_CHGHDRS, 1, 0, 0, kWarning},
      {"no add-recipient, Add Recipient in rules", SMFIF_ADDHDRS, 2, 0, 0, kRecipientWarning},
      {"neither, both in rules", 0, 3, 0, 0, std::string(kWarning) + kRecipientWarning},
      {"neither, no Add Header in rules", 0, 0, 0, 0, ""},
  };
  for (const ActionCase &c : cases) {
    SCOPED_TRACE(c.name);
    const Answer answer = negotiate(c.offered, kAllSteps, c.has_add_header);
    EXPECT_EQ(answer.enabled, c.want_enabled);
    EXPECT_EQ(answer.actions, c.want_actions);
    EXPECT_EQ(answer.warning, c.want_warning);
    EXPECT_EQ(answer.result, SMFIS_CONTINUE);
  }
}

TEST(Negotiate, WarnsOnEveryConnectionThatLacksTheActions) {
  EXPECT_EQ(negotiate(SMFIF_ADDHDRS, kAllSteps, 1).warning, kWarning);
  EXPECT_EQ(negotiate(SMFIF_ADDHDRS, kAllSteps, 1).warning, kWarning);
}

// Two MTAs share the daemon: each connection's messages get what its own MTA
// granted, whichever negotiated last.
TEST(Negotiate, WhatWasGrantedIsKeptPerConnection) {
  TestFilter filter;
  Rule &all = filter.add(single_term(FIELD_MATCH_ALL));
  add_template_action(all, ACTION_ADD_HEADER, "X-Seen: yes");
  FakeConnection granting, refusing;
  negotiate(granting);
  negotiate(refusing, SMFIF_ADDRCPT);
  for (FakeConnection *c : {&granting, &refusing}) feed(*c, MessageInput{"<a@x>", {"<b@x>"}, {{"S", "v"}}, {"b\n"}});
  EXPECT_EQ(mlfi_eom(granting.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(mlfi_eom(refusing.ctx()), SMFIS_CONTINUE);
  EXPECT_EQ(granting.added_headers.size(), 1u);
  EXPECT_TRUE(refusing.added_headers.empty());
  EXPECT_TRUE(refusing.calls.empty());
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
    const Answer answer = negotiate(SMFIF_ADDHDRS | SMFIF_ADDRCPT, kAllSteps, 0, c.version);
    EXPECT_EQ(answer.result, c.want);
    EXPECT_EQ(answer.enabled, 1) << "kept before the version is asked";
    EXPECT_EQ(answer.actions, 5u);
    if (c.want == SMFIS_ALL_OPTS) {
      EXPECT_EQ(answer.steps, kUnset);
      EXPECT_EQ(answer.word2, kUnset);
      EXPECT_EQ(answer.word3, kUnset);
    }
  }
}

}  // namespace

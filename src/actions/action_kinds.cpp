// The table of action kinds.
#include "actions/actions.h"

namespace {

constexpr ActionKind kStoreIn{"Store In", "store_in", INSERT_PATH_SAFE, ActionStoreIn};
constexpr ActionKind kAddHeader{"Add Header", "add_header", INSERT_AS_IS, ActionAddHeader};
constexpr ActionKind kPipe{"Pipe", "pipe", INSERT_SHELL_SAFE, ActionPipe};
constexpr ActionKind kMaildir{"Maildir", "maildir", INSERT_PATH_SAFE, ActionMaildir};
constexpr ActionKind kAddRecipient{"Add Recipient", "add_recipient", INSERT_AS_IS, ActionAddRecipient};

// A new kind gets a row above, a case below and a larger kActionKindCount.
static_assert(ACTION_STORE_IN < kActionKindCount && ACTION_ADD_HEADER < kActionKindCount &&
              ACTION_PIPE < kActionKindCount && ACTION_MAILDIR < kActionKindCount &&
              ACTION_ADD_RECIPIENT < kActionKindCount);

}  // namespace

const ActionKind &action_kind(ActionType kind) noexcept {
  switch (kind) {
  case ACTION_STORE_IN: return kStoreIn;
  case ACTION_ADD_HEADER: return kAddHeader;
  case ACTION_PIPE: return kPipe;
  case ACTION_MAILDIR: return kMaildir;
  case ACTION_ADD_RECIPIENT: return kAddRecipient;
  }
  return kStoreIn;  // not reached: every kind is named above
}

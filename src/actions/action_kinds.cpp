// The table of action kinds.
#include "actions/actions.h"

namespace {

constexpr ActionKind kStoreIn{"Store In", INSERT_PATH_SAFE, ActionStoreIn};
constexpr ActionKind kAddHeader{"Add Header", INSERT_AS_IS, ActionAddHeader};
constexpr ActionKind kPipe{"Pipe", INSERT_SHELL_SAFE, ActionPipe};
constexpr ActionKind kMaildir{"Maildir", INSERT_PATH_SAFE, ActionMaildir};

}  // namespace

const ActionKind &action_kind(ActionType kind) noexcept {
  switch (kind) {
  case ACTION_STORE_IN: return kStoreIn;
  case ACTION_ADD_HEADER: return kAddHeader;
  case ACTION_PIPE: return kPipe;
  case ACTION_MAILDIR: return kMaildir;
  }
  return kStoreIn;  // not reached: every kind is named above
}

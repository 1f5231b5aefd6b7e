// Fuzz target for action templates.
//
// The input is up to five NUL-separated texts: the template, then `from`,
// `smtp_sender`, `first_to` and one selected recipient's address; a text that
// is missing stays null. The template is parsed and expanded in every insert
// mode. Aborts when an expansion fails, when the safe modes change the
// length of the text, or when placeholder bookkeeping is inconsistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "message/message_context.h"
#include "rules/template.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string input(reinterpret_cast<const char *>(data), size);
  Text fields[5];
  std::size_t start = 0;
  for (int i = 0; i < 5 && start <= input.size(); ++i) {
    std::size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    fields[i] = copy_text(input.data() + start, end - start);
    start = end + 1;
  }

  Rule rule;
  Action action;
  require(parse_template(fields[0].get(), rule, action) == 1);
  action.literal_length = template_literal_length(action.pieces.head.get());
  require(!action.pieces.empty() && action.pieces.tail->kind == PIECE_LITERAL && action.pieces.tail->literal);
  require(((rule.template_uses & USES_EACH_TO) != 0) == (action.each_recipient != 0));
  if (std::strchr(fields[0].get(), '%') == nullptr)
    require(action.pieces.head.get() == action.pieces.tail && rule.template_uses == 0);

  MessageContext msg;
  msg.message_time = 1700000000;
  msg.from = std::move(fields[1]);
  msg.smtp_sender = std::move(fields[2]);
  RuleMatch match;
  match.first_to = fields[3].get();
  if (fields[4]) {
    auto recipient = std::make_unique<Recipient>();
    recipient->address = std::move(fields[4]);
    msg.recipients.append(std::move(recipient));
  }
  const char *each_to = msg.recipients.head ? msg.recipients.head->address.get() : nullptr;

  Text plain = expand_template(action, msg, match, each_to, INSERT_AS_IS);
  require(plain != nullptr);
  const std::size_t length = std::strlen(plain.get());
  if (std::strchr(fields[0].get(), '%') == nullptr) require(std::strcmp(plain.get(), fields[0].get()) == 0);
  for (InsertMode mode : {INSERT_PATH_SAFE, INSERT_SHELL_SAFE}) {
    Text safe = expand_template(action, msg, match, each_to, mode);
    require(safe != nullptr && std::strlen(safe.get()) == length);
  }
  return 0;
}

// The daemon's MessageEditor: hands each change an action asks for to the MTA
// connection with smfi_addheader and smfi_addrcpt. Lives on the stack of the
// end-of-message callback, the only place the milter library takes them.
#pragma once

#include <libmilter/mfapi.h>

#include "actions/message_editor.h"

class MilterEditor final : public MessageEditor {
 public:
  explicit MilterEditor(SMFICTX *ctx) noexcept : ctx_(ctx) {}

  bool add_header(const char *name, const char *value) noexcept override;
  bool add_recipient(const char *address) noexcept override;

 private:
  SMFICTX *ctx_;
};

// Changes to the message, asked of the MTA.
#include "milter/editor.h"

// The milter library takes the texts as char * but only copies them into its
// request to the MTA, so handing it the actions' const texts is safe.
bool MilterEditor::add_header(const char *name, const char *value) noexcept {
  return smfi_addheader(ctx_, const_cast<char *>(name), const_cast<char *>(value)) == MI_SUCCESS;
}

bool MilterEditor::add_recipient(const char *address) noexcept {
  return smfi_addrcpt(ctx_, const_cast<char *>(address)) == MI_SUCCESS;
}

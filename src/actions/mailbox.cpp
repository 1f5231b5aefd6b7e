// The mailbox record: "From <sender>  date", the headers, a blank line, the
// body and two newlines, written byte for byte as captured.
#include "actions/mailbox.h"

#include "frontend/log.h"

void PrintMail(std::FILE *out, const std::time_t &message_time, const MessageContext &msg) noexcept {
  std::fputs("From ", out);
  if (msg.from) {
    std::fputc('<', out);
    std::fputs(msg.from.get(), out);
    std::fputc('>', out);
  }
  std::fputs("  ", out);
  // The same formatting as the count made at end of message, so the record
  // is exactly record_size bytes long.
  std::fputs(format_ctime(message_time).text, out);
  std::fputc('\n', out);

  if (msg.headers.empty()) log_event("PrintMail", "Message contains no headers.", LOG_WARNING);
  for (const HeaderField *header = msg.headers.head.get(); header != nullptr; header = header->next.get()) {
    std::fputs(header->name.get(), out);
    std::fputs(": ", out);
    std::fputs(header->value.get(), out);
    std::fputc('\n', out);
  }
  std::fputc('\n', out);

  for (const BodyChunk *chunk = msg.body.head.get(); chunk != nullptr; chunk = chunk->next.get())
    if (chunk->length > 0) std::fwrite(chunk->data.get(), 1, static_cast<std::size_t>(chunk->length), out);
  std::fputs("\n\n", out);
}

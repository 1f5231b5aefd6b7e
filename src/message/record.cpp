// The mailbox record: "From <sender>  date", the headers, a blank line, the
// body and two newlines, written byte for byte as captured.
//
// The From line and the headers are dozens of small pieces. They are gathered
// in a buffer on the stack and handed to the stream in a few large writes,
// under one hold of the stream's lock: one stdio call per piece cost more
// than the bytes themselves.
#include "message/record.h"

#include <cstring>


namespace {

class RecordWriter {
 public:
  explicit RecordWriter(std::FILE *out) noexcept : out_(out) { flockfile(out_); }
  ~RecordWriter() {
    flush();
    funlockfile(out_);
  }
  RecordWriter(const RecordWriter &) = delete;
  RecordWriter &operator=(const RecordWriter &) = delete;

  void put(const char *bytes, std::size_t length) noexcept {
    if (length > sizeof buffer_ - used_) {
      flush();
      if (length > sizeof buffer_) {
        fwrite_unlocked(bytes, 1, length, out_);
        return;
      }
    }
    std::memcpy(buffer_ + used_, bytes, length);
    used_ += length;
  }
  void put(const char *text) noexcept { put(text, std::strlen(text)); }

  // Large pieces (body chunks) go to the stream directly, copied only once.
  void put_direct(const char *bytes, std::size_t length) noexcept {
    if (length <= 64 && length <= sizeof buffer_ - used_) return put(bytes, length);
    flush();
    fwrite_unlocked(bytes, 1, length, out_);
  }

 private:
  void flush() noexcept {
    if (used_ > 0) fwrite_unlocked(buffer_, 1, used_, out_);
    used_ = 0;
  }

  std::FILE *out_;
  std::size_t used_ = 0;
  char buffer_[4096];
};

}  // namespace

void PrintMail(std::FILE *out, const std::time_t &message_time, const MessageContext &msg, const Log &log) noexcept {
  if (msg.headers.empty()) log.event("PrintMail", "Message contains no headers.", LOG_WARNING);
  // The same formatting as the count made at end of message, so the record
  // is exactly record_size bytes long.
  const Timestamp date = format_ctime(message_time);

  RecordWriter record(out);
  // kRecordFromLineFixed bytes around the sender, kRecordDateLineEnd after
  // the date.
  record.put("From ", 5);
  if (msg.from) {
    record.put("<", 1);
    record.put(msg.from.get());
    record.put(">", 1);
  }
  record.put("  ", 2);
  record.put(date.text);
  record.put("\n", 1);

  for (const HeaderField *header = msg.headers.head.get(); header != nullptr; header = header->next.get()) {
    record.put(header->name.get());
    record.put(": ", 2);
    record.put(header->value.get());
    record.put("\n", 1);
  }
  record.put("\n", 1);

  for (const BodyChunk *chunk = msg.body.head.get(); chunk != nullptr; chunk = chunk->next.get())
    record.put_direct(chunk->data.get(), static_cast<std::size_t>(chunk->length));
  record.put("\n\n", 2);
}

// The mailbox record: "From <sender>  date", the headers, a blank line, the
// body and two newlines, written byte for byte as captured; and the Maildir
// file: "Return-Path: <sender>", the same headers and blank line, and the
// body with LF line ends.
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

// "Return-Path: <" and ">" and its newline, around the sender.
constexpr std::int64_t kReturnPathFixed = 16;

// "X-Envelope-From: <" and ">" and its newline; the same for X-Envelope-To.
constexpr char kEnvelopeFrom[] = "X-Envelope-From: <";
constexpr char kEnvelopeTo[] = "X-Envelope-To: <";
constexpr std::int64_t kEnvelopeFromFixed = sizeof kEnvelopeFrom - 1 + 2;
constexpr std::int64_t kEnvelopeToFixed = sizeof kEnvelopeTo - 1 + 2;

bool is_control(unsigned char byte) noexcept { return byte < 0x20 || byte == 0x7F; }

// An address with its control bytes written as "_".
void put_address(RecordWriter &out, const char *address) noexcept {
  const char *run = address;
  for (const char *at = address;; ++at) {
    if (*at != '\0' && !is_control(static_cast<unsigned char>(*at))) continue;
    out.put(run, static_cast<std::size_t>(at - run));
    if (*at == '\0') return;
    out.put("_", 1);
    run = at + 1;
  }
}

void put_envelope(RecordWriter &out, const MessageContext &msg) noexcept {
  out.put(kEnvelopeFrom, sizeof kEnvelopeFrom - 1);
  if (msg.from) put_address(out, msg.from.get());
  out.put(">\n", 2);
  for (const Recipient *recipient = msg.recipients.head.get(); recipient != nullptr; recipient = recipient->next.get()) {
    out.put(kEnvelopeTo, sizeof kEnvelopeTo - 1);
    put_address(out, recipient->address.get());
    out.put(">\n", 2);
  }
}

// The headers as the record writes them, and the blank line after them.
void put_headers(RecordWriter &out, const MessageContext &msg) noexcept {
  for (const HeaderField *header = msg.headers.head.get(); header != nullptr; header = header->next.get()) {
    out.put(header->name.get());
    out.put(": ", 2);
    out.put(header->value.get());
    out.put("\n", 1);
  }
  out.put("\n", 1);
}

// Calls `segment(bytes, length)` for the body with each CR LF pair turned
// into LF, in order, and returns the number of pairs. A CR that ends a chunk
// is held back until the next chunk shows whether an LF follows it.
template <class Segment> std::int64_t for_each_lf_segment(const MessageContext &msg, Segment segment) noexcept {
  std::int64_t pairs = 0;
  bool held_cr = false;
  for (const BodyChunk *chunk = msg.body.head.get(); chunk != nullptr; chunk = chunk->next.get()) {
    const char *at = chunk->data.get();
    const char *end = at + chunk->length;
    if (held_cr) {
      held_cr = false;
      if (at < end && *at == '\n') ++pairs;  // the pair's LF is written below
      else segment("\r", 1);
    }
    while (at < end) {
      const char *cr = static_cast<const char *>(std::memchr(at, '\r', static_cast<std::size_t>(end - at)));
      if (cr == nullptr) {
        segment(at, static_cast<std::size_t>(end - at));
        break;
      }
      segment(at, static_cast<std::size_t>(cr - at));
      if (cr + 1 == end) {
        held_cr = true;
        break;
      }
      if (cr[1] == '\n') ++pairs;
      else segment("\r", 1);
      at = cr + 1;
    }
  }
  if (held_cr) segment("\r", 1);
  return pairs;
}

}  // namespace

std::int64_t envelope_lines_size(const MessageContext &msg) noexcept {
  std::int64_t size = kEnvelopeFromFixed + (msg.from ? static_cast<std::int64_t>(std::strlen(msg.from.get())) : 0);
  for (const Recipient *recipient = msg.recipients.head.get(); recipient != nullptr; recipient = recipient->next.get())
    size += kEnvelopeToFixed + static_cast<std::int64_t>(std::strlen(recipient->address.get()));
  return size;
}

void PrintMail(std::FILE *out, const std::time_t &message_time, const MessageContext &msg, const Log &log,
               bool with_envelope) noexcept {
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

  if (with_envelope) put_envelope(record, msg);
  put_headers(record, msg);

  for (const BodyChunk *chunk = msg.body.head.get(); chunk != nullptr; chunk = chunk->next.get())
    record.put_direct(chunk->data.get(), static_cast<std::size_t>(chunk->length));
  record.put("\n\n", 2);
}

void PrintMaildirMessage(std::FILE *out, const MessageContext &msg, bool with_envelope) noexcept {
  RecordWriter file(out);
  // kReturnPathFixed bytes around the sender.
  file.put("Return-Path: <", 14);
  if (msg.from) file.put(msg.from.get());
  file.put(">\n", 2);
  if (with_envelope) put_envelope(file, msg);
  put_headers(file, msg);
  // Lines are copied into the buffer and handed over in large writes; a
  // segment longer than the buffer goes to the stream directly.
  for_each_lf_segment(msg, [&file](const char *bytes, std::size_t length) noexcept {
    if (length > 0) file.put(bytes, length);
  });
}

std::int64_t maildir_message_size(const MessageContext &msg, bool with_envelope) noexcept {
  std::int64_t size = kReturnPathFixed + 1;  // the blank line after the headers
  if (with_envelope) size += envelope_lines_size(msg);
  if (msg.from) size += static_cast<std::int64_t>(std::strlen(msg.from.get()));
  for (const HeaderField *header = msg.headers.head.get(); header != nullptr; header = header->next.get())
    size += static_cast<std::int64_t>(std::strlen(header->name.get()) + std::strlen(header->value.get())) +
            kRecordHeaderFixed;
  std::int64_t body = 0;
  for (const BodyChunk *chunk = msg.body.head.get(); chunk != nullptr; chunk = chunk->next.get()) body += chunk->length;
  const std::int64_t pairs = for_each_lf_segment(msg, [](const char *, std::size_t) noexcept {});
  return size + body - pairs;
}

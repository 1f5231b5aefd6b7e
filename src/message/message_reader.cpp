// Reading a saved message into the message model, line by line.
#include "message/message_reader.h"

#include <cstring>
#include <memory>
#include <new>

#include "base/text.h"

namespace {

struct Raw {
  const char *bytes;
  std::size_t length;
};

// One line of the raw message: [start, end) without its line break (LF or
// CR LF); `next` is where the following line starts.
struct Line {
  std::size_t start, end, next;
};

Line line_at(const Raw &raw, std::size_t at) noexcept {
  const void *lf = at < raw.length ? std::memchr(raw.bytes + at, '\n', raw.length - at) : nullptr;
  Line line{at, raw.length, raw.length};
  if (lf != nullptr) {
    line.end = static_cast<std::size_t>(static_cast<const char *>(lf) - raw.bytes);
    line.next = line.end + 1;
  }
  if (line.end > line.start && raw.bytes[line.end - 1] == '\r') --line.end;
  return line;
}

bool is_blank(char ch) noexcept { return ch == ' ' || ch == '\t'; }

// Length of the header name when `line` starts a header ("Name:"), else 0.
std::size_t header_name_length(const Raw &raw, const Line &line) noexcept {
  for (std::size_t i = line.start; i < line.end; ++i) {
    const unsigned char ch = static_cast<unsigned char>(raw.bytes[i]);
    if (ch == ':') return i - line.start;
    if (ch <= ' ' || ch >= 127) return 0;
  }
  return 0;
}

// Adds one header: the name as written, and the value after the colon
// without the one space that follows it, its folded lines joined with LF as
// the MTA passes them. `next` becomes the offset after the header's last
// line.
const char *read_header(const Raw &raw, const Line &first, std::size_t name_length, MessageContext &msg,
                        std::size_t &next) noexcept {
  const char *base = raw.bytes;
  std::size_t value_start = first.start + name_length + 1;
  if (value_start < first.end && base[value_start] == ' ') ++value_start;

  // First pass: the value's length and the end of its continuation lines.
  std::size_t length = first.end - value_start;
  next = first.next;
  while (next < raw.length && is_blank(base[next])) {
    const Line more = line_at(raw, next);
    length += 1 + (more.end - more.start);
    next = more.next;
  }

  const Text name = copy_text(base + first.start, name_length);
  if (!name) return "header name";
  const Text value(new (std::nothrow) char[length + 1]);
  if (!value) return "header value";
  char *out = value.get();
  std::memcpy(out, base + value_start, first.end - value_start);
  out += first.end - value_start;
  for (std::size_t at = first.next; at < next;) {
    const Line more = line_at(raw, at);
    *out++ = '\n';
    std::memcpy(out, base + more.start, more.end - more.start);
    out += more.end - more.start;
    at = more.next;
  }
  *out = '\0';
  return add_header(msg, name.get(), value.get());
}

bool is_bare_lf(const Raw &raw, std::size_t from, std::size_t i) noexcept {
  return raw.bytes[i] == '\n' && (i == from || raw.bytes[i - 1] != '\r');
}

// The body from `at` on, in the form the MTA passes it: every line ending in
// CR LF, a last line without a line break given one.
const char *add_body(const Raw &raw, std::size_t at, MessageContext &msg) noexcept {
  if (at >= raw.length) return nullptr;
  std::size_t bare = 0;
  for (std::size_t i = at; i < raw.length; ++i)
    if (is_bare_lf(raw, at, i)) ++bare;
  const bool unterminated = raw.bytes[raw.length - 1] != '\n';
  const std::size_t length = raw.length - at + bare + (unterminated ? 2 : 0);
  const std::unique_ptr<char[]> body(new (std::nothrow) char[length]);
  if (!body) return "message body";
  char *out = body.get();
  for (std::size_t i = at; i < raw.length; ++i) {
    if (is_bare_lf(raw, at, i)) *out++ = '\r';
    *out++ = raw.bytes[i];
  }
  if (unterminated) {
    *out++ = '\r';
    *out++ = '\n';
  }
  for (std::size_t done = 0; done < length; done += kBodyChunkSize) {
    const std::size_t left = length - done;
    const char *failed = add_body_chunk(msg, body.get() + done, left < kBodyChunkSize ? left : kBodyChunkSize);
    if (failed != nullptr) return failed;
  }
  return nullptr;
}

}  // namespace

const char *add_saved_message(MessageContext &msg, const char *bytes, std::size_t length) noexcept {
  const Raw raw{bytes, length};
  std::size_t at = 0;
  if (raw.length >= 5 && std::memcmp(raw.bytes, "From ", 5) == 0) at = line_at(raw, 0).next;
  while (at < raw.length) {
    const Line line = line_at(raw, at);
    if (line.end == line.start) {
      at = line.next;
      break;
    }
    const std::size_t name_length = header_name_length(raw, line);
    if (name_length == 0) break;  // the body starts here
    const char *failed = read_header(raw, line, name_length, msg, at);
    if (failed != nullptr) return failed;
  }
  return add_body(raw, at, msg);
}

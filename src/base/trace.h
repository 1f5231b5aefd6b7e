// The verbose trace: what the rules and actions do with each message, written
// with plain unflushed writes to one stream (standard output in the daemon),
// or nowhere. `level` is the count of -v; a piece of trace shown from level n
// on is written only when on(n).
//
// Threads: the trace of one message is written by its connection thread;
// lines of concurrent messages may mix, as they always have in the trace.
#pragma once

#include <cstdio>

struct Trace {
  std::FILE *out = nullptr;  // null: no trace
  int level = 0;

  bool on(int at_least) const noexcept { return out != nullptr && level >= at_least; }
  void put(const char *text) const noexcept {
    if (out != nullptr) std::fputs(text, out);
  }
  [[gnu::format(printf, 2, 3)]] void print(const char *format, ...) const noexcept;
};

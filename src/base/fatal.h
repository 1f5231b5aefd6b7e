// The one way a program ends at start-up: one message on standard error,
// then the status. Used by the daemon's and the tester's entries only, on the
// initial thread, never while mail is served.
#pragma once

[[gnu::format(printf, 2, 3)]] [[noreturn]] void fail_start(int status, const char *format, ...) noexcept;

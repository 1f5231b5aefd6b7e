// The daemon's settings that reach below the front end: how much to trace,
// what a failed message gets and how long a Pipe command may run. Read from the command line once; handed by
// value or const reference to whoever needs them, never changed while mail is
// being served.
#pragma once

struct Settings {
  int verbose_level = 0;        // count of -v
  bool accept_on_error = true;  // false with -a: a failed message is refused
  int pipe_time_limit_s = 120;  // -T: seconds a Pipe command may run, 0: no limit
};

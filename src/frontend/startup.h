// The daemon's life: command line, start-up, the milter main loop, reloads,
// shutdown.
//
// run_daemon reads the options "abdf:hl:m:np:r:t:T:u:v", blocks SIGUSR1,
// prints the verbose banner, switches user (-u), loads the rule file (-f),
// writes its warnings on standard error (with -n or -v), lists it and ends
// (-n), sets the timeout (-t) and the Pipe time limit (-T), registers the
// filter, takes the pid file (-r), opens the milter socket (-p), opens the
// log file (-l), sets the metrics file (-m), starts the reload thread
// (control_thread.h), detaches (-b) and runs smfi_main. The pid file comes
// before the socket so that a second instance is refused before it touches
// it; a unix socket that accepts connections is never removed (start-up
// fails), one that refuses them is removed unless -d. When the main loop
// returns it stops the reload thread, waits for the messages still running
// their rules, writes the metrics file a last time, releases the pid file,
// writes the closing log lines and returns the loop's result, which becomes
// the process status. The filter and its rules stay installed until the
// process ends: connection threads may still call them after the loop.
//
// Every start-up failure writes one message to standard error (sometimes
// after the usage line) and ends the process with status 64 (usage), 69
// (registration) or 70 (system, library or rule file). With -b the process
// that started the program waits until the detached one is ready to serve or
// has failed, and ends with status 0 or with the detached one's status, so
// failures still reach the terminal.
//
// Runs on the initial thread; sets every program-wide setting before the
// main loop starts and touches none of them while it runs.
#pragma once

int run_daemon(int argc, char **argv) noexcept;

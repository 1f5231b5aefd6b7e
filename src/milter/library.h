// Running the milter library for the front end: registering the filter,
// its connection and timeout, opening the socket and the main loop, each a
// thin call of the library's own, so that no layer above this one needs the
// library's header. Initial thread only, before and around the main loop.
#pragma once

// The version of the milter library in use.
void milter_library_version(unsigned int &major, unsigned int &minor, unsigned int &patch) noexcept;

// smfi_settimeout, smfi_setconn (the text is kept by the library), and
// smfi_register with the filter's description. False when the library
// refuses.
bool milter_set_timeout(int seconds) noexcept;
bool milter_set_connection(char *connection) noexcept;
bool milter_register_filter() noexcept;

// smfi_opensocket: removes a socket file left behind when `remove_stale`.
bool milter_open_socket(bool remove_stale) noexcept;

// smfi_main: serves until the library is told to stop; its result (0 when
// it stopped cleanly).
int milter_main() noexcept;

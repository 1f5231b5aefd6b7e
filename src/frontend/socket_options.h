// Options of the milter listening socket that the milter library does not set.
//
// set_listener_nodelay turns Nagle's algorithm off on the TCP socket the
// process listens on; Linux hands TCP_NODELAY down to every accepted
// connection. Call it on the initial thread right after smfi_opensocket, when
// the connection specification is "inet:" or "inet6:". Writes nothing;
// returns the number of listening sockets changed.
#pragma once

// True for the connection specifications that name a TCP socket.
bool is_tcp_connection(const char *spec) noexcept;

int set_listener_nodelay() noexcept;

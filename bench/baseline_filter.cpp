// baseline_filter: a milter that accepts every message and keeps nothing.
//
// It is the yardstick for the daemon's own cost. It speaks to the MTA exactly
// as quorvane does, so that the protocol traffic is the same: it registers
// every callback (the milter library asks the MTA to skip the events of
// callbacks that are missing), asks for the same modification actions (add
// headers and recipients, 5) and skips the same protocol steps (connect,
// HELO, end-of-headers, unknown; mask 0x143), and it sets TCP_NODELAY on an
// inet listening socket, which accepted connections inherit.
//
// Usage: baseline_filter -p unix:/path | -p inet:PORT@127.0.0.1
// Stops on SIGTERM or SIGINT. Diagnostics go to standard error.
#include <libmilter/mfapi.h>
#include <libmilter/mfdef.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned long kActions = SMFIF_ADDHDRS | SMFIF_ADDRCPT;
constexpr unsigned long kSkippedSteps = SMFIP_NOCONNECT | SMFIP_NOHELO | SMFIP_NOEOH | SMFIP_NOUNKNOWN;
static_assert(kSkippedSteps == 0x143);

extern "C" {
sfsistat pass_connect(SMFICTX *, char *, _SOCK_ADDR *) { return SMFIS_CONTINUE; }
sfsistat pass_helo(SMFICTX *, char *) { return SMFIS_CONTINUE; }
sfsistat pass_envfrom(SMFICTX *, char **) { return SMFIS_CONTINUE; }
sfsistat pass_envrcpt(SMFICTX *, char **) { return SMFIS_CONTINUE; }
sfsistat pass_header(SMFICTX *, char *, char *) { return SMFIS_CONTINUE; }
sfsistat pass_eoh(SMFICTX *) { return SMFIS_CONTINUE; }
sfsistat pass_body(SMFICTX *, unsigned char *, size_t) { return SMFIS_CONTINUE; }
sfsistat pass_eom(SMFICTX *) { return SMFIS_CONTINUE; }
sfsistat pass_abort(SMFICTX *) { return SMFIS_CONTINUE; }
sfsistat pass_close(SMFICTX *) { return SMFIS_CONTINUE; }
sfsistat pass_unknown(SMFICTX *, const char *) { return SMFIS_CONTINUE; }
sfsistat pass_data(SMFICTX *) { return SMFIS_CONTINUE; }

sfsistat pass_negotiate(SMFICTX *, unsigned long f0, unsigned long f1, unsigned long, unsigned long,
                        unsigned long *pf0, unsigned long *pf1, unsigned long *pf2, unsigned long *pf3) {
  *pf0 = (kActions & ~f0) == 0 ? kActions : 0;
  *pf1 = f1 & kSkippedSteps;
  *pf2 = 0;
  *pf3 = 0;
  return SMFIS_CONTINUE;
}
}

char kName[] = "baseline";

smfiDesc description = {
    kName,         0x01000001,   kActions,     pass_connect, pass_helo,    pass_envfrom,
    pass_envrcpt,  pass_header,  pass_eoh,     pass_body,    pass_eom,     pass_abort,
    pass_close,    pass_unknown, pass_data,    pass_negotiate,
};

// The milter library keeps its listening descriptor to itself: find it among
// our descriptors (a socket that accepts connections) and turn Nagle off.
void set_nodelay_on_listeners() {
  for (int fd = 3; fd < 1024; ++fd) {
    int accepting = 0;
    socklen_t length = sizeof accepting;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0 || accepting == 0) continue;
    sockaddr_storage address{};
    socklen_t address_length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &address_length) != 0) continue;
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6) continue;
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) std::perror("baseline_filter: TCP_NODELAY");
  }
}

}  // namespace

int main(int argc, char **argv) {
  char *connection = nullptr;
  int option;
  while ((option = getopt(argc, argv, "p:")) != -1) {
    if (option == 'p') connection = optarg;
    else connection = nullptr;
  }
  if (connection == nullptr) {
    std::fputs("usage: baseline_filter -p unix:/path | -p inet:PORT@HOST\n", stderr);
    return 64;
  }
  if (std::strncmp(connection, "unix:", 5) == 0) unlink(connection + 5);
  if (smfi_setconn(connection) != MI_SUCCESS || smfi_register(description) != MI_SUCCESS ||
      smfi_opensocket(true) != MI_SUCCESS) {
    std::fprintf(stderr, "baseline_filter: cannot listen on %s\n", connection);
    return 69;
  }
  set_nodelay_on_listeners();
  return smfi_main() == MI_SUCCESS ? 0 : 70;
}

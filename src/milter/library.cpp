// The front end's calls of the milter library.
#include "milter/library.h"

#include "milter/callbacks.h"

void milter_library_version(unsigned int &major, unsigned int &minor, unsigned int &patch) noexcept {
  smfi_version(&major, &minor, &patch);
}

bool milter_set_timeout(int seconds) noexcept { return smfi_settimeout(seconds) != MI_FAILURE; }

bool milter_set_connection(char *connection) noexcept { return smfi_setconn(connection) != MI_FAILURE; }

bool milter_register_filter() noexcept { return smfi_register(filter_description()) != MI_FAILURE; }

bool milter_open_socket(bool remove_stale) noexcept { return smfi_opensocket(remove_stale) != MI_FAILURE; }

int milter_main() noexcept { return smfi_main(); }

// Process entry of the Quorvane mail filter daemon.
#include "frontend/startup.h"

int main(int argc, char **argv) { return run_daemon(argc, argv); }

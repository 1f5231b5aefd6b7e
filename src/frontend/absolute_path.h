// Paths from the command line that are used again after -b has changed the
// working directory to "/" (the pid file, the rule file for reloads, the
// metrics file).
#pragma once

#include <memory>

// `path` resolved against the working directory of the moment, without
// following symbolic links (a rule file that is a link to the version in use
// is read through the link at each reload); the path as given when it is
// absolute or the directory cannot be read. Null when memory ran out.
std::unique_ptr<char[]> absolute_path(const char *path) noexcept;

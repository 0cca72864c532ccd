// The suite's version and, when the build came from a git work tree, the
// commit it was built from: what every program's --version prints.
//
// The values come from a header that the build generates (version_info.h.in):
// the version from the top CMakeLists.txt's project() line, the commit from
// "git describe" at build time. A build from a tarball, or without git, has
// no commit. Nothing here reads the configuration store or the environment.
#pragma once

#include <string>

namespace vnx {

// "8.0": the project version.
const char *version_number();

// The commit ("1a2b3c4", "1a2b3c4-dirty" for a tree with uncommitted
// changes), or "" when the build knows none.
const char *version_commit();

// The one line of --version: "PROGRAM (Varnex) 8.0", followed by
// " (commit 1a2b3c4)" when the commit is known. No newline.
std::string version_line(const char *program);

}  // namespace vnx

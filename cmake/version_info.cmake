# Writes the version header (support/version_info.h.in) with the project
# version and the commit of the source tree, run at every build so that the
# commit never goes stale between configure runs. The file is rewritten only
# when its text changes, so an unchanged tree rebuilds nothing.
#
# In: SOURCE_DIR, VERSION, GIT (may be empty), INPUT, OUTPUT.
# The commit is left empty when git is missing or the sources are not a git
# work tree of their own (a tarball, even one unpacked inside another
# repository), or when git fails.
set(VNX_VERSION_NUMBER "${VERSION}")
set(VNX_VERSION_COMMIT "")
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  # --match with a pattern no tag has: always the abbreviated commit, never a
  # tag name; --dirty marks a tree with uncommitted changes.
  execute_process(
    COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --always --dirty --abbrev=7
            --match "vnx-no-tag-matches-this"
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  # Only a hexadecimal commit, maybe with the -dirty mark: anything else
  # (a message, an odd configuration) is no commit.
  if(rc EQUAL 0 AND out MATCHES "^[0-9a-f]+(-dirty)?$")
    set(VNX_VERSION_COMMIT "${out}")
  endif()
endif()
configure_file("${INPUT}" "${OUTPUT}" @ONLY)

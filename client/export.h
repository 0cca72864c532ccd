// What the shared client library exports.
//
// The shared library is built with hidden visibility: only declarations
// marked VARNEX_API (the classes and functions of the public headers) are
// in its dynamic symbol table, so the protocol internals it carries (frame
// reading, run-length code, packet building) stay private to it and a
// program cannot come to depend on them. In the static library the mark
// changes nothing.
#pragma once

#define VARNEX_API __attribute__((visibility("default")))

#!/usr/bin/env python3
"""Prints the memory errors of valgrind memcheck XML reports and counts them.

Usage: report.py REPORT.xml...  Prints every error but leaks (this phase
looks for invalid accesses and uses of uninitialised memory; memcheck lists
definitely lost blocks even with --leak-check=no) with its stacks, then one
line with the number of gateways and of errors. Exits 1 when there is an
error, or a report that cannot be read (a gateway still writing its report
when it was killed leaves it unclosed: the errors before the cut count).
"""
import re
import sys


def frames(stack):
    """The frames of one <stack>, as 'function (file:line)' or the object."""
    out = []
    for frame in re.findall(r"<frame>(.*?)</frame>", stack, re.S):
        def field(name):
            m = re.search(rf"<{name}>(.*?)</{name}>", frame, re.S)
            return m.group(1) if m else ""
        where = field("fn") or "???"
        if field("file"):
            where += f" ({field('file')}:{field('line')})"
        elif field("obj"):
            where += f" (in {field('obj')})"
        out.append(where.replace("&amp;", "&").replace("&lt;", "<").replace("&gt;", ">"))
    return out


def errors_of(text):
    """(kind, lines) for each error of one report that is not a leak."""
    for error in re.findall(r"<error>(.*?)</error>", text, re.S):
        kind = re.search(r"<kind>(.*?)</kind>", error).group(1)
        if kind.startswith("Leak_"):
            continue
        what = re.search(r"<what>(.*?)</what>|<xwhat>\s*<text>(.*?)</text>", error, re.S)
        lines = [f"{kind}: {(what.group(1) or what.group(2)) if what else ''}"]
        parts = re.split(r"(<stack>.*?</stack>)", error, flags=re.S)
        for part in parts:
            if part.startswith("<stack>"):
                lines += ["    " + f for f in frames(part)]
            else:
                for aux in re.findall(r"<auxwhat>(.*?)</auxwhat>", part, re.S):
                    lines.append("  " + aux)
        yield kind, lines


def main(paths):
    count = 0
    for path in paths:
        with open(path, errors="replace") as f:
            text = f.read()
        for kind, lines in errors_of(text):
            count += 1
            print(f"-- {path}")
            print("\n".join(lines))
    print(f"memcheck: {len(paths)} gateways, {count} error(s)")
    return 1 if count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""check-house.py ROOT: the logging library's files include each other
without a cycle (a header and its source count as one file), and no product
code orders its statics by number (init_priority)."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
failed = False

for folder in ("platform", "logging", "language", "extension"):
    for path in sorted((root / folder).rglob("*")):
        if path.suffix in (".h", ".cpp") and "init_priority" in path.read_text(errors="replace"):
            print(f"init_priority in {path.relative_to(root)}")
            failed = True

logging = root / "logging"
files = {p.stem for p in logging.iterdir() if p.suffix in (".h", ".cpp")}
edges = {name: set() for name in files}
for path in logging.iterdir():
    if path.suffix not in (".h", ".cpp"):
        continue
    for included in re.findall(r'^#include "([^"]+)\.h"', path.read_text(), re.M):
        if included in files and included != path.stem:
            edges[path.stem].add(included)

state = {}
def visit(name, trail):
    global failed
    if state.get(name) == "done":
        return
    if state.get(name) == "open":
        print("include cycle: " + " -> ".join(trail[trail.index(name):] + [name]))
        failed = True
        return
    state[name] = "open"
    for next_name in sorted(edges[name]):
        visit(next_name, trail + [name])
    state[name] = "done"

for name in sorted(files):
    visit(name, [])
print("house: " + ("faults above" if failed else "no include cycle in logging/, no init_priority"))
sys.exit(1 if failed else 0)

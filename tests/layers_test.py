#!/usr/bin/env python3
"""The modules of code/ are layered as README lists them: every module of
code/ is listed once, and each includes only modules listed before it (so
there is no include cycle either).

    layers_test.py SOURCE_DIR
"""
import glob
import os
import re
import sys


def listed_modules(readme):
    """The backticked names of README's paragraph on the modules, in order."""
    text = open(readme).read()
    start = text.index("The modules, bottom-up")
    paragraph = text[start:text.index("\n\n", start)]
    return [name for name in re.findall(r"`([a-z_0-9]+)`", paragraph)]


def includes(source_dir):
    """Each module of code/ and the modules of code/ its files include."""
    found = {}
    for path in glob.glob(os.path.join(source_dir, "code", "*.[hc]*")):
        module = os.path.basename(path).rsplit(".", 1)[0]
        named = set(re.findall(r'#include "([a-z_0-9]+)\.h"', open(path).read()))
        found.setdefault(module, set()).update(named - {module})
    return found


def main():
    source_dir = sys.argv[1]
    graph = includes(source_dir)
    order = [m for m in listed_modules(os.path.join(source_dir, "README.md")) if m in graph]
    faults = []
    for module in sorted(graph):
        if order.count(module) != 1:
            faults.append(f"{module} is listed {order.count(module)} times")
    place = {module: i for i, module in enumerate(order)}
    for module, named in sorted(graph.items()):
        for other in sorted(named):
            if other in place and module in place and place[other] >= place[module]:
                faults.append(f"{module} includes {other}, which is listed after it")
    for fault in faults:
        print(fault)
    print(f"{len(graph)} modules, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

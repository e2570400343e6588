#!/usr/bin/env python3
"""Checks that the folders of src/ are layers: builds the graph of which folder includes which
from the `#include "folder/..."` lines and fails, printing the cycle, when the graph has one.
With --graph it prints the edges, each folder with the folders it includes."""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/[^"]+"', re.MULTILINE)


def include_graph(src):
    graph = {}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        folder = path.relative_to(src).parts[0]
        edges = graph.setdefault(folder, set())
        for target in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            if target != folder and (src / target).is_dir():
                edges.add(target)
    return graph


def find_cycle(graph):
    """One cycle as a list of folders (first == last), or None."""
    state = {}  # absent: not seen; 1: on the current path; 2: done
    path = []

    def visit(node):
        state[node] = 1
        path.append(node)
        for target in sorted(graph.get(node, ())):
            if state.get(target) == 1:
                return path[path.index(target):] + [target]
            if target not in state:
                cycle = visit(target)
                if cycle:
                    return cycle
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            cycle = visit(node)
            if cycle:
                return cycle
    return None


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    graph = include_graph(src)
    if "--graph" in sys.argv[1:]:
        for folder in sorted(graph):
            print(f"{folder}: {' '.join(sorted(graph[folder]))}")
    cycle = find_cycle(graph)
    if cycle:
        print("folder include cycle: " + " -> ".join(cycle), file=sys.stderr)
        for a, b in zip(cycle, cycle[1:]):
            files = sorted(str(p.relative_to(src)) for p in (src / a).rglob("*")
                           if p.is_file() and re.search(rf'#\s*include\s+"{b}/', p.read_text(
                               encoding="utf-8", errors="replace")))
            print(f"  {a} -> {b}: {' '.join(files)}", file=sys.stderr)
        return 1
    print(f"folders of src/: no include cycle ({len(graph)} folders)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

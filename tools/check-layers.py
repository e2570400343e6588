#!/usr/bin/env python3
"""Checks that the folders of src/ are layers: builds the graph of which folder includes which
from the `#include "folder/..."` lines and fails, printing the cycle, when the graph has one.
It also fails when a folder is not a target of CMakeLists.txt of its own (tovrin_<folder>) or
includes a folder whose target its own does not link, directly or through others: the links
written there are the layers, except where CEILINGS holds a folder lower than its links might
allow. With --graph it prints each folder with the folders it includes."""
import pathlib
import re
import sys

# Folders that may include only the folders named here, whatever their targets link: nearby
# stays beside the wire, so that a front end can browse and announce without a session.
CEILINGS = {"nearby": {"net"}}

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


def link_graph(cmake_text):
    """Each tovrin_* target with the tovrin_* targets its target_link_libraries name."""
    links = {}
    for name in re.findall(r"(?:add_library|tovrin_core_library)\(\s*(tovrin_\w+)", cmake_text):
        links.setdefault(name, set())
    for name, body in re.findall(r"target_link_libraries\(\s*(tovrin_\w+)([^)]*)\)", cmake_text):
        links.setdefault(name, set()).update(re.findall(r"\btovrin_\w+", body))
    return links


def reachable(links, start):
    seen, todo = set(), [start]
    while todo:
        for target in links.get(todo.pop(), ()):
            if target not in seen:
                seen.add(target)
                todo.append(target)
    return seen


def unlinked_includes(graph, links):
    """Problems as lines: folders without a target, includes their target does not link."""
    problems = []
    for folder in sorted(graph):
        target = f"tovrin_{folder}"
        if target not in links:
            problems.append(f"{folder}: no target {target} in CMakeLists.txt")
            continue
        linked = reachable(links, target)
        for included in sorted(graph[folder]):
            if folder in CEILINGS and included not in CEILINGS[folder]:
                problems.append(f"{folder} includes {included}, but may include only "
                                f"{' '.join(sorted(CEILINGS[folder]))}")
                continue
            if f"tovrin_{included}" not in linked:
                problems.append(f"{folder} includes {included}, but {target} does not link "
                                f"tovrin_{included}")
    return problems


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
    root = pathlib.Path(__file__).resolve().parent.parent
    src = root / "src"
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
    problems = unlinked_includes(graph, link_graph((root / "CMakeLists.txt").read_text()))
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 1
    print(f"folders of src/: no include cycle, every include linked ({len(graph)} folders)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

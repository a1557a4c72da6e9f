#!/usr/bin/env python3
"""Checks the module layering of the build.

Reads the target report that CMake writes at configure time (layering.json: every target
with its type, folder, sources and direct links) and fails when
  - the libraries link each other in a cycle,
  - a library links one of a higher layer (LAYERS, lowest first: the dynamic values, the
    framework, the tile storage, the chain's records and nodes, the stages, the program, and
    the test-only support on top); a library the list does not name is a problem too, so a
    new library is placed on purpose,
  - a library's folder lies inside the folder of a library of a higher layer, where it reads
    as a part of that one (a library may share its folder with test support of its own),
  - a source or its header includes a header of the repository (a rooted include such as
    "tiles/tile.h") that belongs to a module the target does not link.
Usage: check_layering.py <build>/layering.json <source root>
"""
import json
import os
import re
import sys

# Each layer may link its own and the lower ones only.
LAYERS = [
    ("values", {"values"}),
    ("framework", {"framework"}),
    ("tiles", {"tiles", "cpu_features"}),
    ("chain", {"chain"}),
    ("stages", {"sfm", "stereo_dense", "points_clustering", "points_fusion", "pointcloud_tiles",
                "terrain_fusion", "new_sgm", "sgm_rules", "stereo_sgm"}),
    ("program", {"mapping", "utilities"}),
    ("test support", {"example_flight", "vm_test_main", "vm_temp_dir", "pointcloud_tiles_reader",
                      "new_sgm_reference", "sgm_reference"}),
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def closure(targets, start):
    seen, stack = set(), list(targets[start]["links"])
    while stack:
        name = stack.pop()
        if name in seen or name not in targets:
            continue
        seen.add(name)
        stack.extend(targets[name]["links"])
    return seen


def find_cycle(targets, libraries):
    state = {}

    def visit(name, path):
        state[name] = "open"
        for link in targets[name]["links"]:
            if link not in libraries:
                continue
            if state.get(link) == "open":
                return path + [link]
            if link not in state:
                found = visit(link, path + [link])
                if found:
                    return found
        state[name] = "done"
        return None

    for name in sorted(libraries):
        if name not in state:
            found = visit(name, [name])
            if found:
                return found
    return None


def inside(folder, outer):
    """Whether `folder` lies below `outer` (not at it)."""
    return folder != outer and os.path.commonpath([folder, outer]) == outer


def header_owners(targets, libraries, header):
    """Libraries that own a header: those of its folder, narrowed to the one that compiles
    the source of the same name when there is one."""
    folder = os.path.dirname(header)
    stem = os.path.splitext(os.path.basename(header))[0]
    in_folder = [name for name in libraries if targets[name]["dir"] == folder]
    by_source = [name for name in in_folder
                 if any(os.path.splitext(os.path.basename(s))[0] == stem
                        and os.path.dirname(s) == folder for s in targets[name]["sources"])]
    return by_source or in_folder


def files_of(target):
    files = []
    for source in target["sources"]:
        files.append(source)
        header = os.path.splitext(source)[0] + ".h"
        if source.endswith(".cpp") and os.path.exists(header):
            files.append(header)
    return files


def main():
    report_path, root = sys.argv[1], os.path.realpath(sys.argv[2])
    with open(report_path) as f:
        targets = json.load(f)
    libraries = {n for n, t in targets.items() if t["type"].endswith("_LIBRARY")}
    problems = []

    cycle = find_cycle(targets, libraries)
    if cycle:
        problems.append("libraries link in a cycle: " + " -> ".join(cycle))

    rank = {name: i for i, (_, members) in enumerate(LAYERS) for name in members}
    for name in sorted(libraries):
        if name not in rank:
            problems.append(f"library {name} has no layer in check_layering.py")
            continue
        for link in sorted(targets[name]["links"]):
            if rank.get(link, -1) > rank[name]:
                problems.append(f"library {name} ({LAYERS[rank[name]][0]}) links {link} "
                                f"({LAYERS[rank[link]][0]}), which sits above it")

    placed = sorted(name for name in libraries if name in rank)
    for name in placed:
        for outer in placed:
            if rank[outer] > rank[name] and inside(targets[name]["dir"], targets[outer]["dir"]):
                folder = os.path.relpath(targets[name]["dir"], root)
                problems.append(f"library {name} ({LAYERS[rank[name]][0]}) lives in {folder}, "
                                f"inside the folder of {outer} ({LAYERS[rank[outer]][0]})")

    for name, target in sorted(targets.items()):
        reachable = closure(targets, name) | {name}
        for path in files_of(target):
            if not path.endswith((".h", ".cpp", ".cu", ".cuh")) or not os.path.exists(path):
                continue
            with open(path, errors="replace") as f:
                text = f.read()
            for include in INCLUDE.findall(text):
                header = os.path.join(root, include)
                if "/" not in include or not os.path.exists(header):
                    continue  # a header beside the file, or a system header
                owners = header_owners(targets, libraries, header)
                if owners and not set(owners) & reachable:
                    rel = os.path.relpath(path, root)
                    problems.append(f"{rel} ({name}) includes {include} of "
                                    f"{'/'.join(sorted(owners))}, which {name} does not link")

    for problem in sorted(set(problems)):
        print(problem)
    print(f"{len(libraries)} libraries, {len(targets)} targets checked; "
          f"{len(set(problems))} layering problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

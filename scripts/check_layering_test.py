#!/usr/bin/env python3
"""The layering check reports a stage linking the mapper, a cycle, and an include of a
module that is not linked, and passes the same tree without them."""
import json
import os
import subprocess
import sys
import tempfile

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_layering.py")


def run(root, targets):
    report = os.path.join(root, "layering.json")
    with open(report, "w") as f:
        json.dump(targets, f)
    result = subprocess.run([sys.executable, CHECK, report, root], capture_output=True, text=True)
    return result.returncode, result.stdout


def library(root, folder, links, source):
    return {"type": "STATIC_LIBRARY", "dir": os.path.join(root, folder),
            "sources": [os.path.join(root, folder, source)], "links": links}


def main():
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.realpath(tmp)
        for folder, name, text in [("chain", "node.cpp", ""), ("mapper", "mapper.cpp", ""),
                                   ("stage", "stage.cpp", '#include "tiles/tile.h"\n'),
                                   ("tiles", "tile.cpp", "")]:
            os.makedirs(os.path.join(root, folder), exist_ok=True)
            with open(os.path.join(root, folder, name), "w") as f:
                f.write(text)
        with open(os.path.join(root, "tiles", "tile.h"), "w") as f:
            f.write("")
        sound = {"chain": library(root, "chain", [], "node.cpp"),
                 "tiles": library(root, "tiles", ["chain"], "tile.cpp"),
                 "stage": library(root, "stage", ["chain", "tiles"], "stage.cpp"),
                 "mapping": library(root, "mapper", ["stage", "chain"], "mapper.cpp")}
        code, out = run(root, sound)
        assert code == 0, out

        broken = json.loads(json.dumps(sound))
        broken["stage"]["links"] = ["chain", "mapping"]  # links the mapper, drops tiles
        broken["chain"]["links"] = ["stage"]             # and closes a cycle
        code, out = run(root, broken)
        assert code == 1, out
        for expected in ["cycle", "library stage links mapping",
                         "includes tiles/tile.h of tiles, which stage does not link"]:
            assert expected in out, f"missing '{expected}' in:\n{out}"
    print("layering check self-test passed")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The layering check reports a stage linking the mapper, a lower layer linking a higher one,
a library without a layer, a library in a folder of a higher layer's, a cycle, and an include
of a module that is not linked, and passes the same tree without them."""
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
        # Library names as the real tree's, so that each sits in its real layer.
        sound = {"chain": library(root, "chain", [], "node.cpp"),
                 "tiles": library(root, "tiles", [], "tile.cpp"),
                 "terrain_fusion": library(root, "stage", ["chain", "tiles"], "stage.cpp"),
                 "mapping": library(root, "mapper", ["terrain_fusion", "chain"], "mapper.cpp")}
        code, out = run(root, sound)
        assert code == 0, out

        broken = json.loads(json.dumps(sound))
        broken["terrain_fusion"]["links"] = ["chain", "mapping"]  # links the mapper, drops tiles
        broken["chain"]["links"] = ["terrain_fusion"]             # and closes a cycle
        code, out = run(root, broken)
        assert code == 1, out
        for expected in ["cycle", "library terrain_fusion (stages) links mapping (program)",
                         "includes tiles/tile.h of tiles, which terrain_fusion does not link"]:
            assert expected in out, f"missing '{expected}' in:\n{out}"

        # One back-edge between otherwise sound layers: the tile storage reaching up to the
        # chain's records.
        back_edge = json.loads(json.dumps(sound))
        back_edge["tiles"]["links"] = ["chain"]
        code, out = run(root, back_edge)
        assert code == 1, out
        assert "library tiles (tiles) links chain (chain), which sits above it" in out, out
        assert "1 layering problems" in out, out

        # A library no layer names is refused until someone places it.
        unplaced = json.loads(json.dumps(sound))
        unplaced["new_stage"] = library(root, "stage", ["chain"], "stage.cpp")
        code, out = run(root, unplaced)
        assert code == 1, out
        assert "library new_stage has no layer" in out, out

        # The chain's library in a folder inside the mapper's reads as a part of the program;
        # test support beside the code it serves is welcome.
        nested = json.loads(json.dumps(sound))
        os.makedirs(os.path.join(root, "mapper", "chain"), exist_ok=True)
        with open(os.path.join(root, "mapper", "chain", "node.cpp"), "w") as f:
            f.write("")
        nested["chain"] = library(root, os.path.join("mapper", "chain"), [], "node.cpp")
        nested["example_flight"] = library(root, "stage", ["tiles"], "stage.cpp")
        code, out = run(root, nested)
        assert code == 1, out
        assert ("library chain (chain) lives in mapper/chain, inside the folder of mapping "
                "(program)") in out, out
        assert "1 layering problems" in out, out
    print("layering check self-test passed")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Reads a point-cloud tileset with py3dtiles and prints what it holds as JSON.

Usage: read_tiles_with_py3dtiles.py <root tileset.json>

Every tileset.json reached from the root (tiles whose content is another tileset) is
loaded with py3dtiles' TileSet, and every .pnts with its tile content reader. For each
.pnts the output lists its colours, its points placed in the world by the
transforms on their path, and the bounding boxes of every tile on that path, also in the
world. Any file py3dtiles cannot read ends the script with a traceback and a non-zero
exit code.
"""

import json
import sys
from pathlib import Path

import numpy as np
from py3dtiles.tileset import TileSet


def world_box(tile, transform):
    box = np.array(tile.bounding_volume.to_dict()["box"], dtype=np.float64)
    centre = transform @ np.append(box[:3], 1.0)
    axes = [transform[:3, :3] @ box[3 + 3 * i:6 + 3 * i] for i in range(3)]
    return list(centre[:3]) + [float(v) for axis in axes for v in axis]


def walk(tileset, transform, boxes, out):
    out["tilesets"].append(str(tileset.root_uri))
    stack = [(tileset.root_tile, transform, boxes)]
    while stack:
        tile, parent_transform, parent_boxes = stack.pop()
        own = tile.transform if tile.transform is not None else np.identity(4)
        tile_transform = parent_transform @ own
        path_boxes = parent_boxes + [world_box(tile, tile_transform)]
        if tile.has_content():
            content = tile.get_or_fetch_content(tileset.root_uri)
            if isinstance(content, TileSet):
                walk(content, tile_transform, path_boxes, out)
            else:
                local = np.asarray(content.get_vertices(), dtype=np.float64).reshape((-1, 3))
                placed = (tile_transform[:3, :3] @ local.T).T + tile_transform[:3, 3]
                colours = content.get_colors()
                out["pnts"].append({
                    "uri": str(tileset.root_uri / tile.content_uri),
                    "count": int(content.get_vertex_count()),
                    "world": placed.tolist(),
                    "colours": [] if colours is None else colours.astype(int).tolist(),
                    "boxes": path_boxes,
                })
        for child in tile.children:
            stack.append((child, tile_transform, path_boxes))


def main():
    out = {"tilesets": [], "pnts": []}
    walk(TileSet.from_file(Path(sys.argv[1])), np.identity(4), [], out)
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The product evaluation scores perfect products as perfect, and sees a DOM shifted by three
pixels (which matches again once moved back by its measured shift) and a DSM raised by a
metre. Products are written straight from a small truth raster into MBTiles databases, the
way the program stores them (PNG DOM tiles, 64 x 64 float TIFF DSM tiles, rows counted from
the south)."""
import io
import json
import math
import os
import sqlite3
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evaluate_products as ev  # noqa: E402

ORIGIN = (30.52, 114.36, 35.0)
TEXEL = 0.1
ZOOM = 20


def make_truth(folder):
    rng = np.random.default_rng(3)
    rows, cols = 600, 500
    height = np.zeros((rows, cols), np.float32)
    height[200:320, 150:300] = 8.0  # a building
    texture = rng.integers(0, 255, (rows // 10 + 1, cols // 10 + 1)).astype(np.uint8)
    ortho = np.asarray(Image.fromarray(texture).resize((cols, rows), Image.BILINEAR))
    os.makedirs(folder)
    Image.fromarray(height, mode="F").save(os.path.join(folder, "height.tif"))
    Image.fromarray(ortho).convert("RGB").save(os.path.join(folder, "orthophoto.png"))
    east_min, north_max = -25.0, 30.0
    frames = []
    for de, dn in [(-10.0, -15.0), (-10.0, 15.0), (10.0, 0.0)]:
        lat = ORIGIN[0] + dn / (math.radians(1) * ev.A)
        lon = ORIGIN[1] + de / (math.radians(1) * ev.A * math.cos(math.radians(ORIGIN[0])))
        frames.append({"latitude": lat, "longitude": lon, "altitude": ORIGIN[2] + 40.0,
                       "attitude": {"pitch": -90.0, "yaw": 0.0, "roll": 0.0}})
    truth = {"origin": dict(zip(["latitude", "longitude", "altitude"], ORIGIN)), "texel": TEXEL,
             "east_min": east_min, "north_max": north_max, "height_map": "height.tif",
             "orthophoto": "orthophoto.png", "markers": [], "frames": frames}
    with open(os.path.join(folder, "truth.json"), "w") as f:
        json.dump(truth, f)
    with open(os.path.join(os.path.dirname(folder), "frames.json"), "w") as f:
        json.dump([{"calibration": {"width": 400, "height": 300, "fx": 800.0, "fy": 800.0}}], f)
    return height, ortho, truth


def write_products(folder, height, ortho, truth, dom_shift=0, dsm_offset=0.0):
    rows, cols = height.shape
    x0, y0 = ev.mercator_pixels(np.array(ORIGIN[0] + 0.0004), np.array(ORIGIN[1] - 0.0004), ZOOM)
    x1, y1 = ev.mercator_pixels(np.array(ORIGIN[0] - 0.0004), np.array(ORIGIN[1] + 0.0004), ZOOM)
    dbs = {}
    for kind in ("dom", "dsm"):
        db = sqlite3.connect(os.path.join(folder, f"{kind}.mbtiles"))
        db.execute("CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER,"
                   " tile_data BLOB)")
        dbs[kind] = db
    for tx in range(int(x0) // ev.TILE, int(x1) // ev.TILE + 1):
        for ty in range(int(y0) // ev.TILE, int(y1) // ev.TILE + 1):
            for kind, size in (("dom", ev.TILE), ("dsm", ev.DSM_TILE)):
                scale = ev.TILE / size
                j, i = np.meshgrid(np.arange(size), np.arange(size))
                shift = dom_shift if kind == "dom" else 0
                east, north = ev.enu_of_mercator_pixels(ORIGIN, tx * ev.TILE + (j + 0.5) * scale + shift,
                                                        ty * ev.TILE + (i + 0.5) * scale, ZOOM)
                c = np.floor((east - truth["east_min"]) / TEXEL).astype(int)
                r = np.floor((truth["north_max"] - north) / TEXEL).astype(int)
                ok = (c >= 0) & (c < cols) & (r >= 0) & (r < rows)
                c, r = np.clip(c, 0, cols - 1), np.clip(r, 0, rows - 1)
                if kind == "dom":
                    grey = ortho[r, c]
                    rgba = np.dstack([grey, grey, grey, np.where(ok, 255, 0)]).astype(np.uint8)
                    image = Image.fromarray(rgba, "RGBA")
                    fmt = "PNG"
                else:
                    heights = np.where(ok, height[r, c] + ORIGIN[2] + dsm_offset, -1e9)
                    image = Image.fromarray(heights.astype(np.float32), mode="F")
                    fmt = "TIFF"
                buf = io.BytesIO()
                image.save(buf, fmt)
                dbs[kind].execute("INSERT INTO tiles VALUES (?,?,?,?)",
                                  (ZOOM, tx, (1 << ZOOM) - 1 - ty, buf.getvalue()))
    for db in dbs.values():
        db.commit()
        db.close()


def evaluate(folder, truth_folder):
    out = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "evaluate_products.py"),
                          "--truth", truth_folder, "--dom", os.path.join(folder, "dom.mbtiles"),
                          "--dsm", os.path.join(folder, "dsm.mbtiles"), "--sample", "0.2"],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        truth_folder = os.path.join(tmp, "truth")
        height, ortho, truth = make_truth(truth_folder)
        cases = {"perfect": {}, "shifted": {"dom_shift": 3}, "raised": {"dsm_offset": 1.0}}
        results = {}
        for name, options in cases.items():
            folder = os.path.join(tmp, name)
            os.makedirs(folder)
            write_products(folder, height, ortho, truth, **options)
            results[name] = evaluate(folder, truth_folder)
        perfect, shifted, raised = results["perfect"], results["shifted"], results["raised"]
        assert perfect["dsm_coverage"] > 0.99, perfect
        assert perfect["dsm_open_median_error_gsd"] < 0.1, perfect
        assert perfect["dom_correlation"] > 0.95, perfect
        assert perfect["dom_shift_px"] < 0.5, perfect
        assert 0.8 < perfect["seam_energy"] < 1.2, perfect
        assert 2.0 < shifted["dom_shift_px"] < 4.0, shifted
        # Moved back by the similarity of its patch shifts, the shifted DOM matches again.
        assert perfect["dom_correlation_registered"] > 0.95, perfect
        assert shifted["dom_correlation"] < 0.95 < shifted["dom_correlation_registered"], shifted
        assert abs(raised["dsm_open_median_error_gsd"] * raised["dsm_gsd_m"] - 1.0) < 0.05, raised
    print("product evaluation self-test passed")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The product evaluation scores perfect products as perfect, and sees a DOM shifted by three
pixels (which matches again once moved back by its measured shift), a DSM raised by a metre,
and a hole in both where two frames saw the ground (the frames' footprints as the truth
records them, or cast from their poses). It reads a run's depth maps from its log, with or
without the run summary. Products are written straight from a small truth raster into MBTiles
databases, the way the program stores them (PNG DOM tiles, 64 x 64 float TIFF DSM tiles, rows
counted from the south)."""
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
from scipy import ndimage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import evaluate_products as ev  # noqa: E402

ORIGIN = (30.52, 114.36, 35.0)
TEXEL = 0.1
ZOOM = 20


def geodetic_frame(de, dn):
    lat = ORIGIN[0] + dn / (math.radians(1) * ev.A)
    lon = ORIGIN[1] + de / (math.radians(1) * ev.A * math.cos(math.radians(ORIGIN[0])))
    return {"latitude": lat, "longitude": lon, "altitude": ORIGIN[2] + 40.0,
            "attitude": {"pitch": -90.0, "yaw": 0.0, "roll": 0.0}}


def rectangle(e0, e1, n0, n1):
    return [[e0, n0], [e1, n0], [e1, n1], [e0, n1]]


# Three footprints: two frames see 350 square metres, all three the 100 of (-5..5, -5..5).
FOOTPRINTS = [rectangle(-20, 5, -20, 5), rectangle(-20, 5, -5, 20), rectangle(-5, 20, -10, 10)]
# Nadir frames at 40 m whose 400 x 300 images at 800 pixels focal length see 20 x 15 m: two of
# them see about 200 square metres.
POSES = [(-5.0, -5.0), (-5.0, 5.0), (5.0, 0.0)]


def footprint_frames():
    frames = [geodetic_frame(de, dn) for de, dn in [(-10.0, -15.0), (-10.0, 15.0), (10.0, 0.0)]]
    for frame, footprint in zip(frames, FOOTPRINTS):
        frame["footprint"] = footprint
    return frames


def pose_frames():
    frames = []
    for de, dn in POSES:
        frame = geodetic_frame(de, dn)
        frame.update({"east": de, "north": dn, "up": 40.0,
                      "enu_from_camera": [1, 0, 0, 0, -1, 0, 0, 0, -1]})
        frames.append(frame)
    return frames


def make_truth(folder, frames, camera=None):
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
    truth = {"origin": dict(zip(["latitude", "longitude", "altitude"], ORIGIN)), "texel": TEXEL,
             "east_min": east_min, "north_max": north_max, "height_map": "height.tif",
             "orthophoto": "orthophoto.png", "markers": [], "frames": frames}
    if camera:
        truth["camera"] = camera
    with open(os.path.join(folder, "truth.json"), "w") as f:
        json.dump(truth, f)
    with open(os.path.join(os.path.dirname(folder), "frames.json"), "w") as f:
        json.dump([{"calibration": {"width": 400, "height": 300, "fx": 800.0, "fy": 800.0}}], f)
    return height, ortho, truth


def write_products(folder, height, ortho, truth, dom_shift=0, dsm_offset=0.0, hole=None,
                   broken=None, slab=None, lit=False):
    """Products of the truth; `hole` (east0, east1, north0, north1) is left out of both, the
    DOM shows other ground in `broken` (a mosaic's local fault), the DSM is 3 m high in `slab`
    (a frame's misplaced depth map), and a `lit` DOM is darker away from its middle and
    brighter east of it (vignetting and an exposure step)."""
    other = np.random.default_rng(11).integers(0, 255, ortho.shape).astype(np.uint8)
    other = ndimage.uniform_filter(other, 7)
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
                if hole:
                    ok &= ~((east > hole[0]) & (east < hole[1]) & (north > hole[2]) &
                            (north < hole[3]))
                c, r = np.clip(c, 0, cols - 1), np.clip(r, 0, rows - 1)
                if kind == "dom":
                    grey = ortho[r, c]
                    if broken:
                        inside = ((east > broken[0]) & (east < broken[1]) & (north > broken[2]) &
                                  (north < broken[3]))
                        grey = np.where(inside, other[r, c], grey)
                    if lit:
                        gain = (1.0 - 0.35 * (east ** 2 + north ** 2) / 300.0) * \
                            np.where(east > 0, 1.6, 1.0)
                        grey = np.clip(grey * gain, 0, 255)
                    rgba = np.dstack([grey, grey, grey, np.where(ok, 255, 0)]).astype(np.uint8)
                    image = Image.fromarray(rgba, "RGBA")
                    fmt = "PNG"
                else:
                    heights = height[r, c] + ORIGIN[2] + dsm_offset
                    if slab:
                        heights = heights + np.where((east > slab[0]) & (east < slab[1]) &
                                                     (north > slab[2]) & (north < slab[3]), 3.0, 0.0)
                    heights = np.where(ok, heights, -1e9)
                    image = Image.fromarray(heights.astype(np.float32), mode="F")
                    fmt = "TIFF"
                buf = io.BytesIO()
                image.save(buf, fmt)
                dbs[kind].execute("INSERT INTO tiles VALUES (?,?,?,?)",
                                  (ZOOM, tx, (1 << ZOOM) - 1 - ty, buf.getvalue()))
    for db in dbs.values():
        db.commit()
        db.close()


def evaluate(folder, truth_folder, *extra):
    out = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "evaluate_products.py"),
                          "--truth", truth_folder, "--dom", os.path.join(folder, "dom.mbtiles"),
                          "--dsm", os.path.join(folder, "dsm.mbtiles"), "--sample", "0.2", *extra],
                         capture_output=True, text=True)
    if out.returncode not in (0, 1) or not out.stdout:
        raise AssertionError(out.stderr)
    return json.loads(out.stdout), out.returncode, out.stderr


def check_depth_maps(tmp):
    """Depth maps come from the run summary, its failures from the status lines when the
    summary names none, and from the status lines alone without a summary."""
    def parse(text):
        path = os.path.join(tmp, "log.txt")
        with open(path, "w") as f:
            f.write(text)
        return ev.depth_maps(path)

    status = "I1207 06:51:30 28938] Frame ID:{},Device:CPU,Status:{},Time:0.78s\n"
    statuses = "".join(status.format(i, "Failed" if i % 4 == 0 else "Succeed") for i in range(8))
    summary = ("I1207 06:51:36 28891] Run summary: frames read 40, frames located 40, "
               "depth maps 36, points 120000, DOM tiles 12{}\n")
    full = summary.format("; frames refined failed 2 (moved beyond its GPS reach 2); depth maps "
                          "failed 3 (too few valid pixels 2, no overlapping frame 1)")
    assert parse(statuses + full) == (36, 3, "too few valid pixels 2, no overlapping frame 1")
    assert parse(statuses + summary.format("")) == (36, 2, "")
    assert parse(statuses) == (6, 2, "")
    assert parse("I1207 nothing about depth\n") is None
    # The focal length of the last word on the camera: refined, or kept at the calibration's.
    log = os.path.join(tmp, "log.txt")
    assert ev.refined_focal(log, 800.0) is None
    refined = ("I1207 06:51:28 28891] Camera refined: focal length 895.8 px, 5.4% from the "
               "calibration\nI1207 06:52:28 28891] Camera refined: focal length 851.7 px, 0.2%\n")
    kept = "I1207 06:53:28 28891] Camera kept at its calibrated focal length: told to 5%\n"
    parse(refined)
    assert ev.refined_focal(log, 800.0) == 851.7
    parse(refined + kept)
    assert ev.refined_focal(log, 800.0) == 800.0
    # A later run's summary in the same log counts, not the first.
    assert parse(summary.format("") + summary.format("").replace("36", "7")) == (7, 0, "")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        truth_folder = os.path.join(tmp, "footprints", "truth")
        height, ortho, truth = make_truth(truth_folder, footprint_frames())
        broken = (-10.0, -2.0, 5.0, 15.0)
        cases = {"perfect": {}, "shifted": {"dom_shift": 3}, "raised": {"dsm_offset": 1.0},
                 "holed": {"hole": (-5.0, 5.0, -5.0, 5.0)}, "broken": {"broken": broken},
                 "shifted_broken": {"dom_shift": 3, "broken": broken},
                 "slab": {"slab": (-20.0, -10.0, -20.0, 20.0)}, "lit": {"lit": True}}
        results = {}
        for name, options in cases.items():
            folder = os.path.join(tmp, name)
            os.makedirs(folder)
            write_products(folder, height, ortho, truth, **options)
            results[name] = evaluate(folder, truth_folder)[0]
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
        # A local fault of the mosaic does not move the similarity the rest of it shows.
        broken, shifted_broken = results["broken"], results["shifted_broken"]
        assert broken["dom_correlation"] < 0.99, broken
        assert broken["dom_correlation_registered"] > broken["dom_correlation"] - 0.002, broken
        assert abs(shifted_broken["dom_correlation_registered"] -
                   broken["dom_correlation"]) < 0.005, shifted_broken
        assert abs(raised["dsm_open_median_error_gsd"] * raised["dsm_gsd_m"] - 1.0) < 0.05, raised
        # The block's height offset is taken out; a slab of one frame's DSM makes steps along
        # its border (40 m of it on 0.5 m cells of about 8000 open pairs), the smooth truth none.
        assert raised["dsm_open_median_error_offset_gsd"] < 0.05, raised
        assert abs(raised["dsm_height_offset_m"] - 1.0) < 0.01, raised
        slab = results["slab"]
        assert perfect["dsm_step_share"] == 0 == raised["dsm_step_share"], (perfect, raised)
        assert 0.005 < slab["dsm_step_share"] < 0.05, slab
        # Vignetting and an exposure step dim the plain correlation, not the high-passed one;
        # a shift the similarity explains leaves no local shift, a broken patch does.
        lit = results["lit"]
        assert perfect["dom_correlation_registered_highpass"] > 0.95, perfect
        assert lit["dom_correlation_registered"] < 0.9 < lit["dom_correlation_registered_highpass"], lit
        assert perfect["dom_local_shift_p95_px"] < 0.3 and shifted["dom_local_shift_p95_px"] < 0.3
        assert broken["dom_local_shift_p95_px"] > 2.0, broken
        # The ground two frames saw, and the share of it the products hold.
        assert abs(perfect["seen_by_two_m2"] - 350) < 10, perfect
        assert perfect["dom_coverage_2views"] > 0.99 and perfect["dsm_coverage_2views"] > 0.99
        holed = results["holed"]
        for name in ("dom_coverage_2views", "dsm_coverage_2views"):
            assert abs(holed[name] - 250 / 350) < 0.03, holed

        # Footprints cast from the frames' poses when the truth records none.
        pose_truth = os.path.join(tmp, "poses", "truth")
        make_truth(pose_truth, pose_frames(), {"width": 400, "height": 300, "fx": 800.0,
                                               "fy": 800.0, "cx": 199.5, "cy": 149.5})
        log = os.path.join(tmp, "log.txt")
        with open(log, "w") as f:
            f.write("I1207 06:51:28 28891] Camera refined: focal length 808 px, 1% off\n")
        posed = evaluate(os.path.join(tmp, "perfect"), pose_truth, "--log", log)[0]
        assert abs(posed["seen_by_two_m2"] - 200) < 10, posed
        assert abs(posed["focal_length_error"] - 0.01) < 1e-9, posed

        # Checked limits: the optional ones are added by name; one that cannot be measured
        # (no log for the depth maps) fails rather than passes unseen.
        check_depth_maps(tmp)
        with open(log, "w") as f:
            f.write("I1207 06:51:36 28891] Run summary: depth maps 9; depth maps failed 1 "
                    "(too few valid pixels 1)\n")
        limits = ("dom_coverage_2views=0.95,dsm_coverage_2views=0.9,depth_map_share=0.85,"
                  "dom_shift_px=off")
        good = evaluate(os.path.join(tmp, "perfect"), truth_folder, "--check", "--log", log,
                        "--tolerances", limits)
        assert good[1] == 0 and good[0]["depth_map_share"] == 0.9, good
        bad = evaluate(os.path.join(tmp, "holed"), truth_folder, "--check", "--tolerances", limits)
        assert bad[1] == 1, bad
        assert "dom_coverage_2views = 0.7" in bad[2] and "depth_map_share could not" in bad[2], bad
    print("product evaluation self-test passed")


if __name__ == "__main__":
    main()

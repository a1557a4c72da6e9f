#!/usr/bin/env python3
"""Maps a rendered flight end to end and checks the products with readers we did not write.

Renders a flight with make_example_flight, runs the program on it as the controlling
application would (Base64 task, status lines on the standard error stream), and checks:
  - the last status line is state 12 and names the DOM, DSM and point-cloud records;
  - the MBTiles databases pass SQLite's integrity check (MBTiles mode), or every DOM tile
    decodes as PNG and every DSM tile as a 64 x 64 float TIFF (file mode);
  - the DOM and DSM agree with the flight's ground truth (scripts/evaluate_products.py);
  - py3dtiles reads every tileset.json and .pnts, and the points lie over the flight's area.
A fixed-wing flight (--flight-args "--fixed-wing [--exact]") is held to what a real survey of
that kind must give instead of the default limits (FIXED_WING_TOLERANCES): DOM and DSM over the
ground two frames saw, the DSM on open ground, the DOM once the GPS-set similarity is removed,
the share of depth maps the run made and the refined focal length (from its log).
The hard fixed-wing flight (--flight-args "--fixed-wing --real [--exact]") is held only to
what --tolerances asks, the default limits that do not suit it dropped; with --targets, to
what a real survey must give (REAL_FLIGHT_TARGETS): the front end's frames against the truth
(scripts/pose_accuracy.py, from the run's poses.jsonl) and its calibration, and the products
apart from the block's datum, steps and local misplacement.
Usage: e2e_flight.py --program VornMapping --flight-maker make_example_flight --work DIR
                     [--storage 1|2] [--flight-args "..."] [--views-cache DIR]
                     [--tolerances k=v,...] [--targets]
"""
import argparse
import base64
import glob
import json
import math
import os
import shlex
import shutil
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import evaluate_products as ev  # noqa: E402
import flight_runs as fr  # noqa: E402

REDUCED_FLIGHT = "--width 640 --height 480 --fx 544 --altitude 50 --strips 2 --frames-per-strip 4"
# The fixed-wing survey's targets, in place of the defaults (which the GPS's placement, the
# turns' one-frame ground and the box of the camera positions do not suit); --tolerances
# still overrides any of them.
FIXED_WING_TOLERANCES = ",".join([
    "dsm_coverage=off", "dsm_median_error_gsd=off", "dom_correlation=off", "dom_shift_px=off",
    "seam_energy=off", "dom_coverage_2views=0.95", "dsm_coverage_2views=0.90",
    "dsm_open_median_error_gsd=2", "dom_correlation_registered=0.85", "depth_map_share=0.90"])
# The focal length the refinement ends with: within 1% from the autopilot's 6% error, within
# 0.1% from an exact calibration.
FIXED_WING_FOCAL = {"autopilot": "focal_length_error=0.01", "exact": "focal_length_error=0.001"}
# The limits of the hard flight that no measure of it suits: its GPS places the block, its turns
# see much of their ground once, the camera positions' box is no inner area.
REAL_FLIGHT_UNSUITED = ",".join([
    "dsm_coverage=off", "dsm_median_error_gsd=off", "dsm_open_median_error_gsd=off",
    "dom_correlation=off", "dom_shift_px=off", "seam_energy=off"])
# What a real survey must give, on the hard flight: frames that agree with the truth to a
# tenth of a degree and ten centimetres once the block's datum is taken out, nearly all of them
# refined, the lens found; a DSM without steps between frames and a DOM in place to two pixels,
# whatever the GPS's datum and the light.
REAL_FLIGHT_TARGETS = ",".join([
    REAL_FLIGHT_UNSUITED, "dom_coverage_2views=0.95", "dsm_coverage_2views=0.90",
    "depth_map_share=0.90", "dsm_open_median_error_offset_gsd=1", "dsm_step_share=0.01",
    "dom_correlation_registered_highpass=0.9", "dom_local_shift_p95_px=2",
    "rotation_error_median_deg=0.1", "rotation_error_p90_deg=0.3",
    "position_error_similarity_median_m=0.1", "refined_share=0.95"])
# Its calibration: the focal length within 1% and k1 within 0.005 from a frame list that
# states neither right, within 0.1% (k1 0.001) from an exact one.
REAL_FLIGHT_CAMERA = {"autopilot": "focal_length_error=0.01,k1_error=0.005",
                      "exact": "focal_length_error=0.001,k1_error=0.001"}


def b64(doc):
    return base64.b64encode(json.dumps(doc).encode()).decode()


def run_program(args, home, frame_list):
    tiling = {"tiling": {"storage": args.storage}}
    task = {"home": home, "dataset": {"form": "zel_frame", "uri": frame_list},
            "dom": tiling, "dsm": tiling}
    result = subprocess.run([args.program, "--task", b64(task), "--config", b64({})],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=args.timeout)
    statuses = []
    for line in result.stderr.splitlines():
        try:
            doc = json.loads(line)
        except ValueError:
            continue
        if isinstance(doc, dict) and "state" in doc:
            statuses.append(doc)
    return statuses


def find_file(folder, name):
    """The first file of that name below the folder, hidden folders included."""
    for parent, _, files in os.walk(folder):
        if name in files:
            return os.path.join(parent, name)
    return None


def product_files(home, kind):
    """The MBTiles database or tile folder of a product under the home folder."""
    return find_file(home, f"{kind}.mbtiles") or os.path.join(home, kind)


def check_stores(home, storage, problems):
    if storage == 2:
        for name in ("dom.mbtiles", "dsm.mbtiles", "tile.db"):
            found = find_file(home, name)
            if not found:
                problems.append(f"no {name} under {home}")
                continue
            db = sqlite3.connect(f"file:{found}?mode=ro", uri=True)
            verdict = db.execute("PRAGMA integrity_check").fetchone()[0]
            if verdict != "ok":
                problems.append(f"{found}: integrity_check says {verdict}")
        return
    pngs = glob.glob(os.path.join(home, "dom", "*", "*.png"))
    tiffs = glob.glob(os.path.join(home, "dsm", "*", "*.tiff"))
    if not pngs or not tiffs:
        problems.append(f"file mode wrote {len(pngs)} DOM and {len(tiffs)} DSM tiles")
    for path in pngs:
        Image.open(path).load()
    for path in tiffs:
        image = Image.open(path)
        if image.size != (64, 64) or image.mode != "F":
            problems.append(f"{path}: DSM tile is {image.size} {image.mode}")


def check_point_cloud(home, truth, problems):
    from py3dtiles.tileset.content import read_binary_tile_content

    root = os.path.join(home, "dense", "tileset.json")
    if not os.path.exists(root):
        problems.append("no dense/tileset.json")
        return 0
    origin = truth["origin"]
    centre = ev.ecef_from_geodetic(np.array(origin["latitude"]), np.array(origin["longitude"]),
                                   np.array(origin["altitude"]))
    count = 0
    for path in glob.glob(os.path.join(home, "dense", "**", "tileset.json"), recursive=True):
        with open(path) as f:
            doc = json.loads(f.read(), parse_constant=lambda c: problems.append(f"{path}: {c}"))
        transform = doc["root"].get("transform")
        matrix = np.array(transform).reshape(4, 4).T if transform else np.eye(4)
        for pnts in glob.glob(os.path.join(os.path.dirname(path), "*.pnts")):
            content = read_binary_tile_content(Path(pnts))
            positions = content.body.feature_table.body.position.reshape(-1, 3).astype(np.float64)
            header = content.body.feature_table.header
            if header.rtc is not None:
                positions = positions + np.array(header.rtc)
            world = positions @ matrix[:3, :3].T + matrix[:3, 3]
            distance = np.linalg.norm(world - centre, axis=1)
            if len(distance) and distance.max() > 2000.0:
                problems.append(f"{pnts}: a point lies {distance.max():.0f} m from the flight")
            count += len(world)
    if count == 0:
        problems.append("the point cloud holds no point")
    return count


def joined_values(argv, options=("--flight-args", "--tolerances")):
    """The arguments with those options' values joined on (--flight-args=--fixed-wing), so a
    value that starts with a dash is not taken for an option."""
    out, i = [], 0
    while i < len(argv):
        if argv[i] in options and i + 1 < len(argv):
            out.append(f"{argv[i]}={argv[i + 1]}")
            i += 2
        else:
            out.append(argv[i])
            i += 1
    return out


def tolerances_for(flight_args, asked, targets=False):
    """The limits a flight is held to: the fixed-wing targets for that survey (for the hard
    flight its real targets when asked, else none of the unsuited defaults), then the asked."""
    words = shlex.split(flight_args)
    variant = "exact" if "--exact" in words else "autopilot"
    preset = ""
    if "--fixed-wing" in words and "--real" in words:
        preset = f"{REAL_FLIGHT_TARGETS},{REAL_FLIGHT_CAMERA[variant]}" if targets else \
            REAL_FLIGHT_UNSUITED
    elif "--fixed-wing" in words:
        preset = f"{FIXED_WING_TOLERANCES},{FIXED_WING_FOCAL[variant]}"
    return ",".join(filter(None, [preset, asked]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--flight-maker", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--storage", type=int, default=2, choices=(1, 2))
    parser.add_argument("--flight-args", default=REDUCED_FLIGHT)
    parser.add_argument("--views-cache", default="",
                        help="folder where the flight maker keeps rendered views for other runs")
    parser.add_argument("--tolerances", default="")
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--targets", action="store_true",
                        help="hold the hard flight to a real survey's targets")
    args = parser.parse_args(joined_values(sys.argv[1:]))

    flight = os.path.join(args.work, "flight")
    home = os.path.join(args.work, "home")
    shutil.rmtree(home, ignore_errors=True)  # a home with products is refused
    os.makedirs(home)
    # A flight rendered earlier is reused only when the same flight maker, unchanged since,
    # made it with the same options: a rebuilt maker may plan another flight.
    made_by = f"{os.path.realpath(args.flight_maker)} {os.stat(args.flight_maker).st_mtime_ns} " \
              f"{args.flight_args}\n"
    stamp = os.path.join(flight, "made_by.txt")
    if not (os.path.exists(os.path.join(flight, "frames.json")) and os.path.exists(stamp)
            and open(stamp).read() == made_by):
        shutil.rmtree(flight, ignore_errors=True)
        subprocess.run([args.flight_maker, "--out", flight] + shlex.split(args.flight_args) +
                       fr.views_cache_args(args.views_cache),
                       check=True, stdout=subprocess.DEVNULL)
        with open(stamp, "w") as f:
            f.write(made_by)
    started = time.monotonic()
    statuses = run_program(args, home, os.path.join(flight, "frames.json"))
    print(f"program time: {time.monotonic() - started:.1f} s")
    log = os.path.join(home, "log.txt")
    if os.path.exists(log):
        for line in open(log, errors="replace"):
            if "] Run summary: " in line:
                print(line.rstrip())
    problems = []
    if not statuses or statuses[-1]["state"] != 12:
        last = statuses[-1] if statuses else None
        problems.append(f"the run did not finish in state 12: {last}")
        if os.path.exists(log):
            print("".join(open(log, errors="replace").readlines()[-30:]), file=sys.stderr)
    else:
        outputs = {o.get("id"): o for o in (statuses[-1].get("output") or [])}
        for record in ("dom_01", "dsm_01", "pointcloud_01"):
            if outputs.get(record, {}).get("state") != 12:
                problems.append(f"record {record} is not finished: {outputs.get(record)}")
        check_stores(home, args.storage, problems)
        with open(os.path.join(flight, "truth", "truth.json")) as f:
            truth = json.load(f)
        points = check_point_cloud(home, truth, problems)
        evaluation = subprocess.run(
            [sys.executable, os.path.join(HERE, "evaluate_products.py"), "--truth",
             os.path.join(flight, "truth"), "--dom", product_files(home, "dom"), "--dsm",
             product_files(home, "dsm"), "--log", log, "--check", "--tolerances",
             tolerances_for(args.flight_args, args.tolerances, args.targets)],
            capture_output=True, text=True)
        print(evaluation.stdout)
        print(f"point cloud: {points} points")
        if evaluation.returncode != 0:
            problems.append("products miss the ground truth: " + evaluation.stderr.strip())
    for problem in problems:
        print("FAILED:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

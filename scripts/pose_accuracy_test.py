#!/usr/bin/env python3
"""The pose measures score the true poses as perfect, see through a similarity of the whole
block (the GPS's datum) but not through turned frames, match frames by their images, and
take a frame's last line."""
import json
import math
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pose_accuracy as pa  # noqa: E402

ORIGIN = {"latitude": 30.52, "longitude": 114.36, "altitude": 35.0}


def turn(axis, degrees):
    axis = np.asarray(axis, float) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    a = math.radians(degrees)
    return np.eye(3) + math.sin(a) * k + (1 - math.cos(a)) * k @ k


def quaternion(r):
    """(x, y, z, w) of a rotation matrix (its trace is positive for the turns used here)."""
    w = math.sqrt(1.0 + np.trace(r)) / 2.0
    return [(r[2, 1] - r[1, 2]) / (4 * w), (r[0, 2] - r[2, 0]) / (4 * w),
            (r[1, 0] - r[0, 1]) / (4 * w), w]


def flight(count=10):
    """Frames looking down over a 3 x 4 grid of places at 100 m, each turned its own way."""
    rng = np.random.default_rng(5)
    down = np.diag([1.0, -1.0, -1.0])  # camera x east, y south, z down
    frames = []
    for i in range(count):
        rotation = turn(rng.normal(size=3), rng.uniform(0, 20)) @ down
        frames.append({"east": 40.0 * (i % 3), "north": 35.0 * (i // 3),
                       "up": 100.0 + rng.normal(), "enu_from_camera": rotation.ravel().tolist()})
    return {"origin": ORIGIN, "frames": frames}


def pose_lines(truth, moved=lambda p: p, turned=(), refined=lambda i: True):
    """Pose-log lines of the true poses, the centres moved by `moved`, the frames in `turned`
    turned by 2 degrees."""
    ecef_from_scene = pa.ecef_from_enu(ORIGIN["latitude"], ORIGIN["longitude"])
    centre = pa.ecef_from_geodetic(ORIGIN["latitude"], ORIGIN["longitude"], ORIGIN["altitude"])
    lines = []
    for i, f in enumerate(truth["frames"]):
        rotation = np.asarray(f["enu_from_camera"]).reshape(3, 3)
        if i in turned:
            rotation = turn([1, 1, 0], 2.0) @ rotation
        position = moved(np.array([f["east"], f["north"], f["up"]]))
        lines.append({"id": i, "image": f"/flight/images/frame_{i:04d}.jpg",
                      "rotation": quaternion(ecef_from_scene @ rotation),
                      "translation": (centre + ecef_from_scene @ position).tolist(),
                      "refined": refined(i)})
    return lines


def measure(folder, truth, lines, tail=""):
    path = os.path.join(folder, "poses.jsonl")
    with open(path, "w") as f:
        f.write("".join(json.dumps(line) + "\n" for line in lines) + tail)
    return pa.pose_accuracy(path, truth)


def main():
    truth = flight()
    with tempfile.TemporaryDirectory() as tmp:
        exact = measure(tmp, truth, pose_lines(truth, refined=lambda i: i % 5 != 0))
        assert exact["frames_located"] == 10 and exact["refined_share"] == 0.8, exact
        assert exact["rotation_error_median_deg"] < 1e-4, exact
        assert exact["rotation_error_p90_deg"] < 1e-4, exact
        assert exact["position_error_similarity_median_m"] < 1e-6, exact

        # The whole block scaled, turned and moved keeps its shape; three turned frames show
        # in the 90th percentile, not the median.
        def datum(p):
            return 1.02 * turn([0.2, 0.1, 1.0], 3.0) @ p + np.array([2.0, -1.5, 4.0])

        moved = measure(tmp, truth, pose_lines(truth, moved=datum, turned=(1, 4, 7)))
        assert moved["position_error_similarity_median_m"] < 1e-6, moved
        assert moved["rotation_error_median_deg"] < 1e-4, moved
        assert abs(moved["rotation_error_p90_deg"] - 2.0) < 1e-6, moved

        # Frames are matched by their image, not their id; a frame's last line counts, and a
        # line cut short by a killed run is passed over. A bent block does not keep its shape.
        lines = pose_lines(truth, turned=(3,))
        for line in lines:
            line["id"] += 100
        again = pose_lines(truth)[3]
        bent = measure(tmp, truth, pose_lines(truth, moved=lambda p: p + [0, 0, 0.001 * (p[1] - 50) ** 2]))
        assert bent["position_error_similarity_median_m"] > 0.05, bent
        # A frame sent unrefined where its fix put it, 3 m off, pulls the whole block's
        # similarity; the refined frames' own shape stays exact.
        stray = measure(tmp, truth, pose_lines(
            truth, moved=lambda p: p + [3.0, 0, 0] if p[0] == 0 and p[1] == 0 else p,
            refined=lambda i: i != 0))
        assert stray["position_error_similarity_median_m"] > 0.05, stray
        assert stray["position_error_similarity_refined_median_m"] < 1e-6, stray
        relogged = measure(tmp, truth, lines + [again], tail='{"id": 4, "rot')
        assert relogged["frames_located"] == 10 and relogged["rotation_error_p90_deg"] < 1e-4
        assert measure(tmp, truth, []) == {}
        del truth["frames"][0]["enu_from_camera"]
        assert measure(tmp, truth, pose_lines(flight())) == {}
    print("pose accuracy self-test passed")


if __name__ == "__main__":
    main()

"""The front end's located frames against a rendered flight's truth.

Reads the front end's pose log (one JSON object per line: "id", "image", the earth-centred
world-from-camera pose as "rotation" [x, y, z, w] and "translation" [x, y, z] metres, and
"refined") and the flight's truth.json (each frame's true camera centre "east", "north", "up"
and "enu_from_camera", row by row, in the take-off point's east-north-up axes), and gives:
  rotation_error_median_deg, rotation_error_p90_deg
                      angle between each located frame's camera orientation and its true one
  position_error_similarity_median_m
                      distance of the located camera centres from the true ones once the
                      similarity (offset, rotation, scale: 7 parameters) that best maps the
                      one set onto the other is taken out: the block's shape, apart from where
                      the GPS put it
  position_error_similarity_refined_median_m
                      the same over the refined frames alone, the similarity fitted to them:
                      the shape of the block the images placed, apart from the frames sent
                      where only their records put them
  refined_share       frames located as refined, over the flight's frames
  frames_located      frames the pose log holds
A frame is matched to the truth by its image's number (frame_NNNN.jpg), else by its id; a
frame logged twice counts with its last line.
"""
import json
import math
import os
import re

import numpy as np

A = 6378137.0
E2 = 6.69437999014e-3
FRAME_NUMBER = re.compile(r"frame_(\d+)\.\w+$")


def ecef_from_geodetic(lat, lon, h):
    lat, lon = math.radians(lat), math.radians(lon)
    n = A / math.sqrt(1 - E2 * math.sin(lat) ** 2)
    return np.array([(n + h) * math.cos(lat) * math.cos(lon),
                     (n + h) * math.cos(lat) * math.sin(lon),
                     (n * (1 - E2) + h) * math.sin(lat)])


def ecef_from_enu(lat, lon):
    """Rotation whose columns are the east, north and up axes at a geodetic position."""
    phi, lam = math.radians(lat), math.radians(lon)
    return np.array([[-math.sin(lam), -math.sin(phi) * math.cos(lam), math.cos(phi) * math.cos(lam)],
                     [math.cos(lam), -math.sin(phi) * math.sin(lam), math.cos(phi) * math.sin(lam)],
                     [0.0, math.cos(phi), math.sin(phi)]])


def rotation_of_quaternion(x, y, z, w):
    norm = math.sqrt(x * x + y * y + z * z + w * w)
    x, y, z, w = x / norm, y / norm, z / norm, w / norm
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def angle_between(a, b):
    """Degrees of the rotation that turns orientation a into b."""
    cos = (np.trace(a.T @ b) - 1.0) / 2.0
    return math.degrees(math.acos(min(1.0, max(-1.0, cos))))


def similarity_residuals(source, target):
    """Distances of target from source once moved by the similarity that best maps source
    onto target in the least-squares sense (Umeyama's closed form)."""
    mean_s, mean_t = source.mean(axis=0), target.mean(axis=0)
    s, t = source - mean_s, target - mean_t
    u, singular, vt = np.linalg.svd(t.T @ s / len(source))
    flip = np.eye(3)
    if np.linalg.det(u) * np.linalg.det(vt) < 0:
        flip[2, 2] = -1.0
    rotation = u @ flip @ vt
    scale = np.trace(np.diag(singular) @ flip) / max(1e-300, (s ** 2).sum() / len(source))
    moved = scale * s @ rotation.T + mean_t
    return np.linalg.norm(moved - target, axis=1)


def read_pose_log(path):
    """The pose log's frames by their frame number in the flight."""
    frames = {}
    with open(path, errors="replace") as f:
        for line in f:
            try:
                doc = json.loads(line)
            except ValueError:
                continue  # a line cut short by a killed run
            found = FRAME_NUMBER.search(str(doc.get("image", "")))
            number = int(found.group(1)) if found else int(doc["id"])
            frames[number] = doc
    return frames


def pose_accuracy(pose_log, truth):
    """The measures above for a pose log file and a parsed truth.json; {} without frames or
    without the truth's poses."""
    if not all("enu_from_camera" in f for f in truth["frames"]):
        return {}
    located = read_pose_log(pose_log)
    origin = truth["origin"]
    lat0, lon0, h0 = origin["latitude"], origin["longitude"], origin["altitude"]
    ecef_from_scene = ecef_from_enu(lat0, lon0)
    centre = ecef_from_geodetic(lat0, lon0, h0)
    angles, found, true_centres, refined = [], [], [], []
    for number, doc in sorted(located.items()):
        if not 0 <= number < len(truth["frames"]):
            continue
        t = truth["frames"][number]
        true_rotation = ecef_from_scene @ np.asarray(t["enu_from_camera"], float).reshape(3, 3)
        angles.append(angle_between(true_rotation, rotation_of_quaternion(*doc["rotation"])))
        found.append(ecef_from_scene.T @ (np.asarray(doc["translation"], float) - centre))
        true_centres.append([t["east"], t["north"], t["up"]])
        refined.append(bool(doc.get("refined")))
    if not angles:
        return {}
    result = {"frames_located": len(angles),
              "refined_share": sum(refined) / len(truth["frames"]),
              "rotation_error_median_deg": float(np.median(angles)),
              "rotation_error_p90_deg": float(np.percentile(angles, 90))}
    if len(found) >= 3:
        residuals = similarity_residuals(np.array(found), np.array(true_centres))
        result["position_error_similarity_median_m"] = float(np.median(residuals))
    if sum(refined) >= 3:
        kept = np.array(refined)
        residuals = similarity_residuals(np.array(found)[kept], np.array(true_centres)[kept])
        result["position_error_similarity_refined_median_m"] = float(np.median(residuals))
    return result


def find_pose_log(home):
    """The front end's pose log below a run's home folder, or None."""
    for parent, _, files in os.walk(home):
        if "poses.jsonl" in files:
            return os.path.join(parent, "poses.jsonl")
    return None

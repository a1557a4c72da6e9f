#!/usr/bin/env python3
"""Measures a run's products against the example flight's ground truth.

Reads the DOM and DSM tiles (MBTiles databases through SQLite, or tile folders) with readers
we did not write (SQLite, Pillow, NumPy), samples them at the centres of the truth rasters'
cells, and reports as JSON:
  dsm_coverage        share of inner cells with a height (inner: the box of the camera
                      positions, one half footprint in from the survey's edge)
  dsm_median_error_gsd, dsm_open_median_error_gsd
                      median |DSM - truth| in DSM cells, everywhere and on open ground
  dom_correlation     normalised cross-correlation of DOM and truth orthophoto (grey) on
                      the DOM's pixels, away from walls
  dom_shift_px        median shift of DOM patches against the truth, in DOM pixels
  dom_correlation_registered
                      dom_correlation after moving the DOM back by the similarity (offset,
                      rotation, scale) that best explains the patch shifts: the mosaic's own
                      quality apart from the block's datum, which GPS noise bounds (reported,
                      no tolerance)
  seam_energy         DOM gradient across frame borders against inside frames, each
                      divided by the truth's gradient at the same cells
  dom_coverage_2views, dsm_coverage_2views
                      share of the ground seen by two or more frames (their true footprints,
                      from truth.json) that has a DOM colour or a DSM height
  depth_map_share     share of the frames' depth-map attempts that gave one (with --log: the
                      run summary's "depth maps N" and "depth maps failed M", or else the
                      dense stage's per-frame "Status:" lines)
  focal_length_error  |refined / true - 1| of the focal length (with --log, its last "Camera
                      refined: focal length F px" line, or the calibration's after "Camera kept
                      at its calibrated focal length", against truth.json's true camera)
  k1_error            |refined - true| of the lens's k1 (with --log, the last "Camera ..."
                      line that names "k1 <value>"; not measured without one)
  dsm_open_median_error_offset_gsd
                      dsm_open_median_error_gsd once the block's height offset (the median
                      of DSM - truth on open ground, dsm_height_offset_m) is taken out
  dsm_step_share      share of pairs of neighbouring DSM cells, both on open ground, whose
                      errors differ by more than a metre: the steps between frames' slabs,
                      spikes and pits (on the DSM's own cells; dsm_step_pairs counts them)
  dom_correlation_registered_highpass
                      dom_correlation_registered on the logarithm of the images less its blur
                      over three pixels: the mosaic's detail, whatever the vignetting and the
                      frames' exposures make of its brightness
  dom_local_shift_p95_px
                      95th percentile of the patch shifts left once the similarity of
                      dom_correlation_registered is taken out: how far the mosaic is locally
                      misplaced, in DOM pixels
  rotation_error_median_deg, rotation_error_p90_deg, position_error_similarity_median_m,
  position_error_similarity_refined_median_m,
  refined_share       the front end's located frames against the truth (with --poses, or
                      the poses.jsonl below the log's folder; scripts/pose_accuracy.py)
With --check, exits 1 when a value misses its tolerance (--tolerances overrides a limit, adds
one of the optional limits, or drops one with name=off).

Usage: evaluate_products.py --truth <flight>/truth --dom <dom.mbtiles|folder>
                            --dsm <dsm.mbtiles|folder> [--log <home>/log.txt]
                            [--poses poses.jsonl] [--check] [--tolerances k=v,...]
"""
import argparse
import io
import json
import math
import os
import re
import sqlite3
import sys

import numpy as np
from PIL import Image, ImageDraw
from scipy import ndimage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pose_accuracy  # noqa: E402

A = 6378137.0
E2 = 6.69437999014e-3
TILE = 256
DSM_TILE = 64
NO_HEIGHT = -1e8
MAX_WALL_CELLS = 12e6  # cells of the truth raster the wall search works on
MAX_SAMPLES = 2e6  # cells of the truth raster the products are sampled at

DEFAULT_TOLERANCES = {
    "dsm_coverage": (">=", 0.90),
    "dsm_open_median_error_gsd": ("<=", 2.0),
    "dsm_median_error_gsd": ("<=", 4.0),
    "dom_correlation": (">=", 0.90),
    "dom_shift_px": ("<=", 1.0),
    "seam_energy": ("<=", 1.5),
}
# Limits a check may add: with GPS noise the block's placement is the GPS's, and the mosaic
# is judged apart from it; flights with turns and gaps are judged on the ground two frames saw;
# the dense stage's yield needs the run's log.
OPTIONAL_TOLERANCES = {"dom_correlation_registered": ">=", "dom_coverage_2views": ">=",
                       "dsm_coverage_2views": ">=", "depth_map_share": ">=",
                       "focal_length_error": "<=", "k1_error": "<=",
                       "dsm_open_median_error_offset_gsd": "<=", "dsm_step_share": "<=",
                       "dom_correlation_registered_highpass": ">=",
                       "dom_local_shift_p95_px": "<=", "rotation_error_median_deg": "<=",
                       "rotation_error_p90_deg": "<=",
                       "position_error_similarity_median_m": "<=", "refined_share": ">="}
STEP_M = 1.0  # neighbouring DSM cells whose errors differ by more make a step
HIGH_PASS_PX = 3.0  # blur the high-passed DOM comparison takes out, in DOM pixels


def ecef_from_geodetic(lat, lon, h):
    lat, lon = np.radians(lat), np.radians(lon)
    n = A / np.sqrt(1 - E2 * np.sin(lat) ** 2)
    return np.stack([(n + h) * np.cos(lat) * np.cos(lon), (n + h) * np.cos(lat) * np.sin(lon),
                     (n * (1 - E2) + h) * np.sin(lat)], axis=-1)


def geodetic_from_ecef(p):
    x, y, z = p[..., 0], p[..., 1], p[..., 2]
    lon = np.arctan2(y, x)
    r = np.hypot(x, y)
    lat = np.arctan2(z, r * (1 - E2))
    for _ in range(6):
        n = A / np.sqrt(1 - E2 * np.sin(lat) ** 2)
        h = r / np.cos(lat) - n
        lat = np.arctan2(z, r * (1 - E2 * n / (n + h)))
    n = A / np.sqrt(1 - E2 * np.sin(lat) ** 2)
    h = r / np.cos(lat) - n
    return np.degrees(lat), np.degrees(lon), h


def enu_to_geodetic(origin, east, north, up):
    lat0, lon0, h0 = origin
    phi, lam = math.radians(lat0), math.radians(lon0)
    r = np.array([[-math.sin(lam), -math.sin(phi) * math.cos(lam), math.cos(phi) * math.cos(lam)],
                  [math.cos(lam), -math.sin(phi) * math.sin(lam), math.cos(phi) * math.sin(lam)],
                  [0.0, math.cos(phi), math.sin(phi)]])
    enu = np.stack([east, north, up], axis=-1)
    p = ecef_from_geodetic(np.array(lat0), np.array(lon0), np.array(h0)) + enu @ r.T
    return geodetic_from_ecef(p)


def enu_of_mercator_pixels(origin, px, py, zoom):
    """East and north (metres) of Mercator pixel positions, on the origin's ellipsoid height."""
    size = TILE * 2.0 ** zoom
    lon = px / size * 360.0 - 180.0
    lat = np.degrees(np.arctan(np.sinh(math.pi * (1 - 2 * py / size))))
    lat0, lon0, h0 = origin
    d = ecef_from_geodetic(lat, lon, np.full(np.shape(lat), h0)) - ecef_from_geodetic(
        np.array(lat0), np.array(lon0), np.array(h0))
    phi, lam = math.radians(lat0), math.radians(lon0)
    east = -math.sin(lam) * d[..., 0] + math.cos(lam) * d[..., 1]
    north = (-math.sin(phi) * math.cos(lam) * d[..., 0] - math.sin(phi) * math.sin(lam) * d[..., 1]
             + math.cos(phi) * d[..., 2])
    return east, north


def mercator_pixels(lat, lon, zoom):
    size = TILE * 2.0 ** zoom
    x = (lon + 180.0) / 360.0 * size
    s = np.sin(np.radians(lat))
    y = (0.5 - np.log((1 + s) / (1 - s)) / (4 * math.pi)) * size
    return x, y


class TileSource:
    """DOM (PNG) or DSM (TIFF) tiles from an MBTiles database or a tile folder."""

    def __init__(self, location, kind):
        self.kind, self.cache = kind, {}
        self.db = None
        if os.path.isfile(location):
            self.db = sqlite3.connect(f"file:{location}?mode=ro", uri=True)
            self.zoom = self.db.execute("SELECT MAX(zoom_level) FROM tiles").fetchone()[0]
        else:
            self.folder = location
            zooms = [int(d) for d in os.listdir(location) if d.isdigit()]
            self.zoom = max(zooms) if zooms else None
        if self.zoom is None:
            raise SystemExit(f"no {kind} tiles in {location}")

    def tile(self, x, y):
        key = (x, y)
        if key not in self.cache:
            self.cache[key] = self._read(x, y)
        return self.cache[key]

    def _read(self, x, y):
        z = self.zoom
        if self.db is not None:
            row = self.db.execute(
                "SELECT tile_data FROM tiles WHERE zoom_level=? AND tile_column=? AND tile_row=?",
                (z, x, (1 << z) - 1 - y)).fetchone()
            data = row[0] if row else None
        else:
            ext = ".png" if self.kind == "dom" else ".tiff"
            path = os.path.join(self.folder, str(z), f"{z}_{x}_{y}{ext}")
            data = open(path, "rb").read() if os.path.exists(path) else None
        if data is None:
            return None
        image = Image.open(io.BytesIO(data))
        if self.kind == "dom":
            return np.asarray(image.convert("RGBA"))
        return np.asarray(image, dtype=np.float32)

    def sample(self, px, py, scale):
        """Values at Mercator pixel positions (nearest cell); NaN where there is no tile."""
        tx, ty = np.floor(px / TILE).astype(np.int64), np.floor(py / TILE).astype(np.int64)
        channels = 4 if self.kind == "dom" else 1
        out = np.full(px.shape + (channels,), np.nan, dtype=np.float64)
        for x, y in set(zip(tx.ravel().tolist(), ty.ravel().tolist())):
            data = self.tile(x, y)
            if data is None:
                continue
            sel = (tx == x) & (ty == y)
            cols = np.clip(((px[sel] - x * TILE) / scale).astype(int), 0, data.shape[1] - 1)
            rows = np.clip(((py[sel] - y * TILE) / scale).astype(int), 0, data.shape[0] - 1)
            values = data[rows, cols]
            out[sel] = values.reshape(values.shape[0], -1)[:, :channels]
        return out


def phase_shift(a, b):
    """Translation (x, y) of patch a against patch b, in cells, to a tenth of a cell."""
    window = np.outer(np.hanning(a.shape[0]), np.hanning(a.shape[1]))
    fa = np.fft.fft2((a - a.mean()) * window)
    fb = np.fft.fft2((b - b.mean()) * window)
    cross = fa * np.conj(fb)
    corr = np.fft.fftshift(np.real(np.fft.ifft2(cross / (np.abs(cross) + 1e-9))))
    py, px = np.unravel_index(np.argmax(corr), corr.shape)

    def refine(m, p, n):  # parabola through the peak and its neighbours
        if 0 < p < n - 1:
            d = m[0] - 2 * m[1] + m[2]
            return p + (0.5 * (m[0] - m[2]) / d if d != 0 else 0.0)
        return float(p)

    y = refine(corr[py - 1:py + 2, px] if 0 < py < corr.shape[0] - 1 else None, py, corr.shape[0])
    x = refine(corr[py, px - 1:px + 2] if 0 < px < corr.shape[1] - 1 else None, px, corr.shape[1])
    return x - corr.shape[1] // 2, y - corr.shape[0] // 2


def correlation(dom, truth, valid, away_from_walls):
    """Correlation of the smoothed DOM and truth two pixels inside the DOM's data and away
    from walls (0 with too few pixels)."""
    inner = ndimage.binary_erosion(valid, iterations=2) & away_from_walls
    if inner.sum() <= 100:
        return 0.0
    return float(np.corrcoef(dom[inner], truth[inner])[0, 1])


def similarity_of_shifts(centres, shifts):
    """(a, b, tx, ty) of the similarity whose shift at (x, y) is (a x - b y + tx, b x + a y + ty)
    that best explains the patch shifts: fitted by least squares, then again without the
    patches it explains worst (a local fault of the mosaic, or a patch too plain to register,
    does not move what the block as a whole shows)."""
    x, y = centres[:, 0], centres[:, 1]
    one, zero = np.ones_like(x), np.zeros_like(x)
    keep = np.ones(len(x), bool)
    for _ in range(4):
        design = np.vstack([np.column_stack([x, -y, one, zero])[keep],
                            np.column_stack([y, x, zero, one])[keep]])
        params = np.linalg.lstsq(design, np.concatenate([shifts[keep, 0], shifts[keep, 1]]),
                                 rcond=None)[0]
        a, b, tx, ty = params
        residual = np.hypot(a * x - b * y + tx - shifts[:, 0], b * x + a * y + ty - shifts[:, 1])
        explained = residual <= max(0.5, 3.0 * np.median(residual[keep]))
        if explained.sum() < 3 or (explained == keep).all():
            break
        keep = explained
    return params


def local_shifts(centres, shifts):
    """Lengths of the patch shifts that the similarity of all of them leaves unexplained."""
    a, b, tx, ty = similarity_of_shifts(centres, shifts)
    x, y = centres[:, 0], centres[:, 1]
    return np.hypot(a * x - b * y + tx - shifts[:, 0], b * x + a * y + ty - shifts[:, 1])


def high_pass(image, sigma):
    """The logarithm of an image less its blur: a gain that changes slowly over the image
    (vignetting, a frame's exposure) leaves nothing."""
    logarithm = np.log(np.asarray(image, np.float64) + 8.0)
    return logarithm - ndimage.gaussian_filter(logarithm, sigma)


def step_share(errors, usable):
    """(share, pairs): of the pairs of row or column neighbours of a grid, both usable, the
    share whose errors differ by more than STEP_M."""
    steps = pairs = 0
    for a, b, ua, ub in ((errors[:, 1:], errors[:, :-1], usable[:, 1:], usable[:, :-1]),
                         (errors[1:, :], errors[:-1, :], usable[1:, :], usable[:-1, :])):
        both = ua & ub
        pairs += int(both.sum())
        steps += int((np.abs(a - b)[both] > STEP_M).sum())
    return (steps / pairs if pairs else math.inf), pairs


def undo_similarity(image, valid, centres, shifts):
    """The image resampled so that content found shifted by shifts[k] (x, y) at centres[k]
    (x, y) comes back to its place, under the similarity of those shifts."""
    a, b, tx, ty = similarity_of_shifts(centres, shifts)
    # Output (row, column) reads the image at its own place plus the shift there.
    matrix = np.array([[1 + a, b], [-b, 1 + a]])
    offset = np.array([ty, tx])
    moved = ndimage.affine_transform(image, matrix, offset, order=3, mode="nearest")
    moved_valid = ndimage.affine_transform(valid.astype(float), matrix, offset, order=0,
                                           cval=0.0) > 0.5
    return moved, moved_valid


def footprint_border_mask(truth, east, north, frames, calibration):
    """Cells within one cell of a frame's ground footprint border (nadir footprint turned by
    the frame's yaw), and cells well inside a footprint."""
    border = np.zeros(east.shape, bool)
    inside = np.zeros(east.shape, bool)
    origin = truth["origin"]
    o = (origin["latitude"], origin["longitude"], origin["altitude"])
    lat0 = math.radians(o[0])
    for f in frames:
        de = (f["longitude"] - o[1]) * math.radians(1) * A * math.cos(lat0)
        dn = (f["latitude"] - o[0]) * math.radians(1) * A
        height = f["altitude"] - o[2]
        half_w = calibration["width"] / 2 / calibration["fx"] * height
        half_h = calibration["height"] / 2 / calibration["fy"] * height
        yaw = math.radians(f["attitude"]["yaw"])
        # Image x points along the track's right, image y against the travel direction.
        u = (east - de) * math.cos(yaw) - (north - dn) * math.sin(yaw)
        v = (east - de) * math.sin(yaw) + (north - dn) * math.cos(yaw)
        du, dv = np.abs(u) - half_w, np.abs(v) - half_h
        edge = np.maximum(du, dv)
        border |= np.abs(edge) < 0.6
        inside |= edge < -3.0
    return border, inside & ~border


def frame_footprints(truth):
    """Each frame's true ground footprint, an (east, north) polygon: as truth.json records it,
    else its image border cast from its true pose onto the take-off level. None when the truth
    holds neither."""
    camera = truth.get("camera")
    footprints = []
    for f in truth["frames"]:
        if f.get("footprint"):
            footprints.append(np.asarray(f["footprint"], dtype=np.float64))
            continue
        if not camera or "enu_from_camera" not in f:
            return None
        rotation = np.asarray(f["enu_from_camera"], dtype=np.float64).reshape(3, 3)
        position = np.array([f["east"], f["north"], f["up"]])
        w, h = camera["width"] - 1.0, camera["height"] - 1.0
        border = [(w * s, 0.0) for s in np.linspace(0, 1, 8, endpoint=False)] + \
                 [(w, h * s) for s in np.linspace(0, 1, 8, endpoint=False)] + \
                 [(w * (1 - s), h) for s in np.linspace(0, 1, 8, endpoint=False)] + \
                 [(0.0, h * (1 - s)) for s in np.linspace(0, 1, 8, endpoint=False)]
        points = []
        for u, v in border:
            ray = rotation @ np.array([(u - camera["cx"]) / camera["fx"],
                                       (v - camera["cy"]) / camera["fy"], 1.0])
            if ray[2] < -1e-9:
                points.append((position + ray * (-position[2] / ray[2]))[:2])
        footprints.append(np.array(points))
    return footprints


def views_per_cell(footprints, east, north):
    """How many footprints hold each cell of a regular grid (rows north to south)."""
    e0, n0 = east[0, 0], north[0, 0]
    de = east[0, 1] - e0 if east.shape[1] > 1 else 1.0
    dn = n0 - north[1, 0] if north.shape[0] > 1 else 1.0
    count = np.zeros(east.shape, np.int32)
    for polygon in footprints:
        if len(polygon) < 3:
            continue
        mask = Image.new("L", (east.shape[1], east.shape[0]), 0)
        ImageDraw.Draw(mask).polygon([((x - e0) / de, (n0 - y) / dn) for x, y in polygon], fill=1)
        count += np.asarray(mask, dtype=np.int32)
    return count


SUMMARY_LINE = re.compile(r"\] Run summary: (.*)$")
DEPTH_STATUS = re.compile(r"Frame ID:\d+,Device:\w+,Status:(\w+)")


def depth_maps(log_path):
    """(made, failed, reasons) of the run's depth maps from its log, or None without a word
    of them. The run summary counts both; a summary that names no failure, or none at all,
    leaves the failures to the dense stage's per-frame status lines."""
    with open(log_path, errors="replace") as f:
        lines = f.read().splitlines()
    statuses = [m.group(1) for m in map(DEPTH_STATUS.search, lines) if m]
    summaries = [m.group(1) for m in map(SUMMARY_LINE.search, lines) if m]
    made = failed = None
    reasons = ""
    if summaries:
        counts, _, failures = summaries[-1].partition(";")
        found = re.search(r"(?:^|, )depth maps (\d+)(?:,|$)", counts)
        made = int(found.group(1)) if found else None
        found = re.search(r"depth maps failed (\d+)(?: \(([^)]*)\))?", failures)
        if found:
            failed, reasons = int(found.group(1)), found.group(2) or ""
    if made is None and statuses:
        made = sum(1 for s in statuses if s != "Failed")
    if failed is None and statuses:
        failed = sum(1 for s in statuses if s == "Failed")
    if made is None:
        return None
    return made, failed or 0, reasons


REFINED_FOCAL = re.compile(r"\] Camera (?:refined: focal length ([-+\d.eE]+) px|(kept) at its "
                           r"calibrated focal length)")


def refined_focal(log_path, calibrated):
    """The focal length (pixels) the run's last word on its camera gives: the refined one, or
    `calibrated` when the camera was kept. None without such a line."""
    with open(log_path, errors="replace") as f:
        found = [m for m in map(REFINED_FOCAL.search, f) if m]
    if not found:
        return None
    if found[-1].group(2):
        return calibrated
    try:
        return float(found[-1].group(1))
    except ValueError:
        return None


CAMERA_K1 = re.compile(r"\] Camera .*\bk1 ([-+\d.eE]+)")


def refined_k1(log_path):
    """The lens's k1 from the run's last word on its camera that names it, or None."""
    with open(log_path, errors="replace") as f:
        found = [m.group(1) for m in map(CAMERA_K1.search, f) if m]
    try:
        return float(found[-1]) if found else None
    except ValueError:
        return None


def dsm_cell_errors(dsm, origin, height, truth, east_range, north_range, open_ground, k):
    """DSM - truth on the DSM's own cells over the box of east_range and north_range, and
    which cells have a height over open ground (open_ground: the truth raster's every k-th
    cell), as grids of rows (north to south) and columns."""
    scale = TILE / DSM_TILE  # Mercator pixels per DSM cell
    x0, y0 = mercator_pixels(*enu_to_geodetic(origin, np.array(east_range[0]),
                                              np.array(north_range[1]), 0.0)[:2], dsm.zoom)
    x1, y1 = mercator_pixels(*enu_to_geodetic(origin, np.array(east_range[1]),
                                              np.array(north_range[0]), 0.0)[:2], dsm.zoom)
    gx, gy = np.meshgrid(np.arange(math.floor(x0 / scale), math.ceil(x1 / scale)) * scale + scale / 2,
                         np.arange(math.floor(y0 / scale), math.ceil(y1 / scale)) * scale + scale / 2)
    heights = dsm.sample(gx, gy, scale)[..., 0]
    east, north = enu_of_mercator_pixels(origin, gx, gy, dsm.zoom)
    texel = truth["texel"]
    c = np.clip(((east - truth["east_min"]) / texel).astype(int), 0, height.shape[1] - 1)
    r = np.clip(((truth["north_max"] - north) / texel).astype(int), 0, height.shape[0] - 1)
    up = height[r, c].astype(np.float64)
    h = enu_to_geodetic(origin, east, north, up)[2]
    usable = np.isfinite(heights) & (heights > NO_HEIGHT) & open_ground[r // k, c // k]
    return np.where(usable, heights - h, 0.0), usable


def gradient(image):
    gy, gx = np.gradient(image)
    return np.hypot(gx, gy)


def evaluate(args):
    with open(os.path.join(args.truth, "truth.json")) as f:
        truth = json.load(f)
    # Single precision as the truth is stored, the orthophoto as bytes until it is smoothed:
    # a wide flight's rasters hold tens of millions of cells.
    with Image.open(os.path.join(args.truth, truth["height_map"])) as image:
        image.load()  # a float image: its bytes are the raster, without another copy
        height = np.frombuffer(image.tobytes(), dtype=np.float32).reshape(image.height, image.width)
    with Image.open(os.path.join(args.truth, truth["orthophoto"])) as image:
        ortho = np.asarray(image.convert("L"))
    texel = truth["texel"]
    # Samples every args.sample metres, farther apart where that would make too many.
    step = max(1, int(round(args.sample / texel)), math.ceil(math.sqrt(height.size / MAX_SAMPLES)))
    rows = np.arange(step // 2, height.shape[0], step)
    cols = np.arange(step // 2, height.shape[1], step)
    r, c = np.meshgrid(rows, cols, indexing="ij")
    east = truth["east_min"] + (c + 0.5) * texel
    north = truth["north_max"] - (r + 0.5) * texel
    up = height[r, c]
    origin = truth["origin"]
    o = (origin["latitude"], origin["longitude"], origin["altitude"])
    lat, lon, h = enu_to_geodetic(o, east, north, up)

    dom, dsm = TileSource(args.dom, "dom"), TileSource(args.dsm, "dsm")
    px, py = mercator_pixels(lat, lon, dsm.zoom)
    heights = dsm.sample(px, py, TILE / DSM_TILE)[..., 0]
    dx, dy = mercator_pixels(lat, lon, dom.zoom)
    colours = dom.sample(dx, dy, 1.0)
    dom_grey = colours[..., 0] * 0.299 + colours[..., 1] * 0.587 + colours[..., 2] * 0.114
    dom_valid = np.isfinite(dom_grey) & (colours[..., 3] > 0)

    # The inner area: the box of the camera positions.
    fe = [(f["longitude"] - o[1]) * math.radians(1) * A * math.cos(math.radians(o[0]))
          for f in truth["frames"]]
    fn = [(f["latitude"] - o[0]) * math.radians(1) * A for f in truth["frames"]]
    inner = (east >= min(fe)) & (east <= max(fe)) & (north >= min(fn)) & (north <= max(fn))

    dom_gsd = 2 * math.pi * A * math.cos(math.radians(o[0])) / (TILE * 2 ** dom.zoom)
    dsm_gsd = 2 * math.pi * A * math.cos(math.radians(o[0])) / (DSM_TILE * 2 ** dsm.zoom)
    has_height = np.isfinite(heights) & (heights > NO_HEIGHT)
    error = np.abs(heights - h)
    # Open ground: the terrain that hangs together without a wall (the largest region of
    # cells less steep than 45 degrees, so roofs are left out), two DSM cells from any wall.
    # Found on every k-th cell, k so large that a wide area stays within memory.
    k = max(1, math.ceil(math.sqrt(height.size / MAX_WALL_CELLS)))
    gy, gx = np.gradient(height[::k, ::k], texel * k)
    gentle = np.hypot(gx, gy) < 1.0
    del gx, gy
    labels, _ = ndimage.label(gentle)
    sizes = np.bincount(labels.ravel())
    sizes[0] = 0
    ground = labels == np.argmax(sizes)
    del labels
    wall_distance = ndimage.distance_transform_edt(gentle).astype(np.float32) * (texel * k)
    away = ndimage.distance_transform_edt(ground) * (texel * k) > 2 * dsm_gsd + 1.0
    open_ground = away[r // k, c // k]
    measured = inner & has_height

    result = {"dom_zoom": dom.zoom, "dsm_zoom": dsm.zoom, "dom_gsd_m": dom_gsd,
              "dsm_gsd_m": dsm_gsd, "samples": int(inner.sum())}
    result["dsm_coverage"] = float(measured.sum() / max(1, inner.sum()))
    result["dsm_median_error_gsd"] = float(np.median(error[measured]) / dsm_gsd) if measured.any() else math.inf
    open_measured = measured & open_ground
    result["dsm_open_median_error_gsd"] = (float(np.median(error[open_measured]) / dsm_gsd)
                                           if open_measured.any() else math.inf)
    result["dsm_p90_error_m"] = float(np.percentile(error[measured], 90)) if measured.any() else math.inf
    if open_measured.any():
        signed = (heights - h)[open_measured]
        offset = float(np.median(signed))
        result["dsm_height_offset_m"] = offset
        result["dsm_open_median_error_offset_gsd"] = float(np.median(np.abs(signed - offset)) /
                                                           dsm_gsd)
    cell_errors, cell_usable = dsm_cell_errors(dsm, o, height, truth, (min(fe), max(fe)),
                                               (min(fn), max(fn)), away, k)
    result["dsm_step_share"], result["dsm_step_pairs"] = step_share(cell_errors, cell_usable)

    # The DOM against the truth on the DOM's own pixels: the truth averaged over each DOM
    # pixel, both smoothed alike (0.7 pixel) so resampling noise does not count.
    ortho = ndimage.uniform_filter(ortho, size=max(1, int(round(dom_gsd / texel))),
                                   output=np.float32)
    truth_grey = ortho[r, c]
    px0, py0 = mercator_pixels(*enu_to_geodetic(o, np.array(min(fe)), np.array(max(fn)), 0.0)[:2], dom.zoom)
    px1, py1 = mercator_pixels(*enu_to_geodetic(o, np.array(max(fe)), np.array(min(fn)), 0.0)[:2], dom.zoom)
    gx, gy = np.meshgrid(np.arange(math.floor(px0), math.ceil(px1)) + 0.5,
                         np.arange(math.floor(py0), math.ceil(py1)) + 0.5)
    ge, gn = enu_of_mercator_pixels(o, gx, gy, dom.zoom)
    gc = np.clip(((ge - truth["east_min"]) / texel).astype(int), 0, height.shape[1] - 1)
    gr = np.clip(((truth["north_max"] - gn) / texel).astype(int), 0, height.shape[0] - 1)
    gcol = dom.sample(gx, gy, 1.0)
    g_valid = np.isfinite(gcol[..., 0]) & (np.nan_to_num(gcol[..., 3]) > 0)
    g_dom = np.nan_to_num(gcol[..., 0] * 0.299 + gcol[..., 1] * 0.587 + gcol[..., 2] * 0.114)
    g_truth = ortho[gr, gc]
    g_dom_s = ndimage.gaussian_filter(np.where(g_valid, g_dom, g_truth), 0.7)
    g_truth_s = ndimage.gaussian_filter(g_truth, 0.7)
    # Walls lean in the frames and not in the truth: pixels within 2 m of one do not count.
    away_from_walls = wall_distance[gr // k, gc // k] > 2.0
    result["dom_correlation"] = correlation(g_dom_s, g_truth_s, g_valid, away_from_walls)
    # Registration: phase correlation of 32 x 32 pixel patches of DOM and truth.
    shifts, centres, size = [], [], 32
    for i in range(0, gx.shape[0] - size + 1, size):
        for j in range(0, gx.shape[1] - size + 1, size):
            if g_valid[i:i + size, j:j + size].all():
                shifts.append(phase_shift(g_dom[i:i + size, j:j + size],
                                          g_truth[i:i + size, j:j + size]))
                centres.append((j + size / 2, i + size / 2))
    lengths = [math.hypot(x, y) for x, y in shifts]
    result["dom_shift_px"] = float(np.median(lengths)) if shifts else math.inf
    result["dom_patches"] = len(shifts)
    # The mosaic apart from the block's datum: the DOM moved back by the similarity (offset,
    # rotation, scale) that best explains the patch shifts.
    if len(shifts) >= 3:
        moved, moved_valid = undo_similarity(np.where(g_valid, g_dom, g_truth), g_valid,
                                             np.array(centres), np.array(shifts))
        moved_filled = np.where(moved_valid, moved, g_truth)
        moved_s = ndimage.gaussian_filter(moved_filled, 0.7)
        result["dom_correlation_registered"] = correlation(moved_s, g_truth_s, moved_valid,
                                                           away_from_walls)
        # The truth that fills the gaps must not reach the compared pixels through the blur.
        inside = ndimage.binary_erosion(moved_valid, iterations=int(3 * HIGH_PASS_PX))
        result["dom_correlation_registered_highpass"] = correlation(
            ndimage.gaussian_filter(high_pass(moved_filled, HIGH_PASS_PX), 0.7),
            ndimage.gaussian_filter(high_pass(g_truth, HIGH_PASS_PX), 0.7), inside,
            away_from_walls)
        result["dom_local_shift_p95_px"] = float(
            np.percentile(local_shifts(np.array(centres), np.array(shifts)), 95))
    else:
        result["dom_correlation_registered"] = 0.0
        result["dom_correlation_registered_highpass"] = 0.0

    footprints = frame_footprints(truth)
    if footprints is not None:
        seen_twice = views_per_cell(footprints, east, north) >= 2
        result["seen_by_two_m2"] = float(seen_twice.sum() * (step * texel) ** 2)
        if seen_twice.any():
            result["dom_coverage_2views"] = float(dom_valid[seen_twice].mean())
            result["dsm_coverage_2views"] = float(has_height[seen_twice].mean())
    if getattr(args, "log", None):
        depth = depth_maps(args.log) if os.path.exists(args.log) else None
        if depth is not None:
            made, failed, reasons = depth
            result.update({"depth_maps": made, "depth_maps_failed": failed,
                           "depth_failure_reasons": reasons,
                           "depth_map_share": made / max(1, made + failed)})
        with open(args.frames) as f:
            calibrated = json.load(f)[0]["calibration"]["fx"]
        focal = refined_focal(args.log, calibrated) if os.path.exists(args.log) else None
        if focal is not None and truth.get("camera"):
            result["focal_length_px"] = focal
            result["focal_length_error"] = abs(focal / truth["camera"]["fx"] - 1.0)
        k1 = refined_k1(args.log) if os.path.exists(args.log) else None
        if k1 is not None and truth.get("camera"):
            result["k1"] = k1
            result["k1_error"] = abs(k1 - truth["camera"].get("k1", 0.0))
    poses = getattr(args, "poses", None)
    if not poses and getattr(args, "log", None):
        poses = pose_accuracy.find_pose_log(os.path.dirname(os.path.abspath(args.log)))
    if poses and os.path.exists(poses):
        result.update(pose_accuracy.pose_accuracy(poses, truth))

    with open(args.frames) as f:
        calibration = json.load(f)[0]["calibration"]
    border, inside = footprint_border_mask(truth, east, north, truth["frames"], calibration)
    g_dom = gradient(np.where(dom_valid, dom_grey, 0.0))
    g_truth = gradient(truth_grey)
    near_invalid = ~dom_valid
    for shift in ((0, 1), (1, 0), (0, -1), (-1, 0)):
        near_invalid |= np.roll(~dom_valid, shift, axis=(0, 1))
    seam = border & inner & ~near_invalid
    body = inside & inner & ~near_invalid
    if seam.sum() > 10 and body.sum() > 10:
        ratio_seam = g_dom[seam].mean() / max(1e-9, g_truth[seam].mean())
        ratio_body = g_dom[body].mean() / max(1e-9, g_truth[body].mean())
        result["seam_energy"] = float(ratio_seam / max(1e-9, ratio_body))
    else:
        result["seam_energy"] = math.inf
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--truth", required=True)
    parser.add_argument("--frames", help="frames.json of the flight (default: beside truth/)")
    parser.add_argument("--dom", required=True)
    parser.add_argument("--dsm", required=True)
    parser.add_argument("--log", help="the run's log.txt, for its depth maps")
    parser.add_argument("--poses", help="the front end's poses.jsonl (default: below the log's "
                        "folder)")
    parser.add_argument("--sample", type=float, default=0.3, help="metres between samples")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--tolerances", default="",
                        help="name=value,... overriding or adding limits; name=off drops one")
    args = parser.parse_args()
    if not args.frames:
        args.frames = os.path.join(os.path.dirname(os.path.abspath(args.truth)), "frames.json")
    result = evaluate(args)
    print(json.dumps(result, indent=2, sort_keys=True))
    if not args.check:
        return 0
    tolerances = dict(DEFAULT_TOLERANCES)
    for item in filter(None, args.tolerances.split(",")):
        name, value = item.split("=")
        if value == "off":
            tolerances.pop(name, None)
        else:
            known = DEFAULT_TOLERANCES.get(name, (OPTIONAL_TOLERANCES.get(name),))[0]
            if known is None:
                parser.error(f"no limit named {name}")
            tolerances[name] = (known, float(value))
    # A value the products or the truth could not give (no footprints, no log) misses its limit.
    failed = [f"{n} = {result[n]:.3f}, wanted {op} {v}" if n in result else
              f"{n} could not be measured, wanted {op} {v}" for n, (op, v) in tolerances.items()
              if n not in result or not (result[n] >= v if op == ">=" else result[n] <= v)]
    for line in failed:
        print("FAILED:", line, file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

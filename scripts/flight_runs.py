"""Runs the mapping program on a rendered flight and reads what a run leaves behind.

Shared by the fault test (e2e_faults.py) and the benchmark (benchmark_flight.py): the task
document, a started run whose status lines are collected from the standard error stream while
it works, and readers (SQLite, Pillow, py3dtiles, strict JSON) for every product a run left in
its home folder, finished or not.
"""
import base64
import glob
import hashlib
import io
import json
import os
import shlex
import shutil
import sqlite3
import subprocess
import threading
import time
from pathlib import Path

from PIL import Image

FINISHED, STOPPED, FAILED = 12, 13, -14
FINAL_STATES = (FINISHED, STOPPED, FAILED)
DATABASES = ("dom/dom.mbtiles", "dsm/dsm.mbtiles", ".cache/tf/tiles/tile.db")


def b64(doc):
    return base64.b64encode(json.dumps(doc).encode()).decode()


def views_cache_args(views_cache):
    """The flight maker's arguments that keep its rendered views in that folder (none for "")."""
    return ["--views-cache", views_cache] if views_cache else []


def render_flight(flight_maker, folder, flight_args, views_cache=""):
    """Renders the flight once; a folder that already holds one made with the same arguments
    is reused (one made with others, say by an earlier version of a test, is made anew). With a
    views cache, the frames another run rendered for the same flight are read from there."""
    stamp = os.path.join(folder, "flight_args.txt")
    frames = os.path.join(folder, "frames.json")
    made_alike = os.path.exists(frames) and os.path.exists(stamp) and \
        open(stamp).read() == flight_args
    if not made_alike:
        shutil.rmtree(folder, ignore_errors=True)
        subprocess.run([flight_maker, "--out", folder] + shlex.split(flight_args) +
                       views_cache_args(views_cache), check=True, stdout=subprocess.DEVNULL)
        with open(stamp, "w") as out:
            out.write(flight_args)
    return frames


def task(home, frame_list=None, storage=2, live_frames=None):
    """The task of a run: a frame list, or a live dataset announcing live_frames frames."""
    if live_frames is not None:
        dataset = {"form": "zel_frame", "live": True, "frame_cnt": live_frames}
    else:
        dataset = {"form": "zel_frame", "uri": frame_list}
    tiling = {"tiling": {"storage": storage}}
    return {"home": home, "dataset": dataset, "dom": tiling, "dsm": tiling}


def status_of(line):
    try:
        doc = json.loads(line)
    except ValueError:
        return None
    return doc if isinstance(doc, dict) and "state" in doc else None


class Run:
    """A started program; its standard error is read on a thread into lines and statuses,
    its standard output (where some stages print their times) into output."""

    def __init__(self, program, task_doc, prefix=(), live=False):
        command = list(prefix) + [program, "--task", b64(task_doc), "--config", b64({})]
        self.started = time.monotonic()
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE if live else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
        self.lines = []
        self.statuses = []
        self.output = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.output_reader = threading.Thread(target=self._read_output, daemon=True)
        self.output_reader.start()

    def _read_output(self):
        for line in self.process.stdout:
            self.output.append(line.rstrip("\n"))

    def _read(self):
        for line in self.process.stderr:
            line = line.rstrip("\n")
            self.lines.append(line)
            status = status_of(line)
            if status is not None:
                self.statuses.append(status)

    def send(self, command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()

    def close_input(self):
        self.process.stdin.close()

    def wait(self, timeout):
        """Waits for the end; a run still going after the timeout is killed. True if it ended."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            self.join_readers()
            return False
        self.join_readers()
        return True

    def join_readers(self):
        self.reader.join()
        self.output_reader.join()

    def seconds(self):
        return time.monotonic() - self.started

    def final_state(self):
        return self.statuses[-1]["state"] if self.statuses else None

    def records(self):
        output = (self.statuses[-1].get("output") if self.statuses else None) or []
        return {record.get("id"): record.get("state") for record in output}

    def error_lines(self):
        return [line for line in self.lines if status_of(line) is None and any(
            word in line.lower() for word in ("fail", "error", "refus", "full", "space"))]


def wait_for(condition, timeout, step=0.05):
    """Polls until the condition holds; False when the timeout passes first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


def log_lines(home):
    path = os.path.join(home, "log.txt")
    if not os.path.exists(path):
        return []
    with open(path, errors="replace") as f:
        return f.read().splitlines()


def _strict_json(path):
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")

    with open(path) as f:
        return json.loads(f.read(), parse_constant=refuse)


def _check_dom_blob(name, data, problems):
    try:
        Image.open(io.BytesIO(data)).load()
    except Exception as error:  # noqa: BLE001 - any decoder complaint is the finding
        problems.append(f"{name}: DOM tile does not decode: {error}")


def _check_dsm_blob(name, data, problems):
    try:
        image = Image.open(io.BytesIO(data))
        image.load()
    except Exception as error:  # noqa: BLE001
        problems.append(f"{name}: DSM tile does not decode: {error}")
        return
    if image.size != (64, 64) or image.mode != "F":
        problems.append(f"{name}: DSM tile is {image.size} {image.mode}, not 64 x 64 float")


def check_databases(home, problems):
    """Every MBTiles database present passes integrity_check and its blobs decode.

    Opened read-write as any reader would, so a rollback journal a killed writer left behind
    is rolled back first. Returns the number of tiles read."""
    tiles = 0
    for relative in DATABASES:
        path = os.path.join(home, relative)
        if not os.path.exists(path):
            continue
        try:
            db = sqlite3.connect(path)
            verdict = db.execute("PRAGMA integrity_check").fetchone()[0]
            if verdict != "ok":
                problems.append(f"{relative}: integrity_check says {verdict}")
                continue
            if relative.endswith("tile.db"):
                continue  # the terrain cache holds the program's own tile records
            check = _check_dom_blob if relative.startswith("dom") else _check_dsm_blob
            for z, x, y, data in db.execute(
                    "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles"):
                check(f"{relative} {z}/{x}/{y}", data, problems)
                tiles += 1
            db.close()
        except sqlite3.Error as error:
            problems.append(f"{relative}: SQLite says {error}")
    return tiles


def check_tile_files(home, problems):
    """Every finished tile file of the file stores decodes. Returns the number read."""
    tiles = 0
    for path in glob.glob(os.path.join(home, "dom", "*", "*.png")):
        with open(path, "rb") as f:
            _check_dom_blob(os.path.relpath(path, home), f.read(), problems)
        tiles += 1
    for path in glob.glob(os.path.join(home, "dsm", "*", "*.tiff")):
        with open(path, "rb") as f:
            _check_dsm_blob(os.path.relpath(path, home), f.read(), problems)
        tiles += 1
    return tiles


def _content_uris(node):
    content = node.get("content") or {}
    uri = content.get("uri") or content.get("url")
    if uri:
        yield uri
    for child in node.get("children") or []:
        yield from _content_uris(child)


def check_point_cloud(home, problems):
    """Every tileset.json parses as strict JSON and every .pnts it names loads with py3dtiles.

    Returns the number of points read."""
    from py3dtiles.tileset.content import read_binary_tile_content

    points = 0
    for path in glob.glob(os.path.join(home, "dense", "**", "tileset.json"), recursive=True):
        name = os.path.relpath(path, home)
        try:
            doc = _strict_json(path)
        except (ValueError, OSError) as error:
            problems.append(f"{name}: not a JSON document: {error}")
            continue
        for uri in _content_uris(doc.get("root") or {}):
            target = os.path.normpath(os.path.join(os.path.dirname(path), uri))
            if not os.path.exists(target):
                problems.append(f"{name} names {uri}, which does not exist")
            elif target.endswith(".pnts"):
                try:
                    content = read_binary_tile_content(Path(target))
                    points += len(content.body.feature_table.body.position) // 3
                except Exception as error:  # noqa: BLE001
                    problems.append(f"{os.path.relpath(target, home)} does not load: {error}")
    return points


def check_readable(home, storage, problems):
    """Checks everything a run (finished, stopped, failed or killed) left in its home."""
    tiles = check_databases(home, problems) if storage == 2 else check_tile_files(home, problems)
    return tiles, check_point_cloud(home, problems)


def product_digests(home):
    """Content of every product file below the home (the task log aside), by relative path."""
    digests = {}
    for parent, _, files in os.walk(home):
        for name in files:
            path = os.path.join(parent, name)
            relative = os.path.relpath(path, home)
            if relative != "log.txt":
                with open(path, "rb") as f:
                    digests[relative] = hashlib.sha256(f.read()).hexdigest()
    return digests


def product_mtimes(home, folders=("dom", "dsm", "dense")):
    """Modification time of every file in the product folders, by relative path."""
    times = {}
    for folder in folders:
        for parent, _, files in os.walk(os.path.join(home, folder)):
            for name in files:
                path = os.path.join(parent, name)
                times[os.path.relpath(path, home)] = os.stat(path).st_mtime_ns
    return times

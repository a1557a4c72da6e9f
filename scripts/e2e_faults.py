#!/usr/bin/env python3
"""Runs the mapping program on a reduced rendered flight under faults and checks its products.

Cases (--case, several allowed; all by default):
  kill        kill -9 at seeded random moments of a run (3, or 10 with --thorough), both
              storage modes in turn: the databases pass integrity_check, every DOM/DSM tile
              decodes, every tileset.json is strict JSON and every .pnts it names loads;
  full_disk   the DOM folder, then the point-cloud folder, on a small tmpfs (a private mount
              namespace, as root): error lines, final state -14 with the reason in the task
              log, products readable; skipped (exit 77) where such a mount is not allowed;
  live        frames fed through a pipe end in 12; {"abort": true} mid-run ends in 13 with
              what was made so far readable (on a 16-frame flight, so that frames leave the
              front end's refinement window while the input is still open); closing the
              input ends the run;
  second_run  a second run into the same home is refused at once, naming the existing
              databases, leaves the first run's products byte-identical and its log whole
              (the refusal follows it after a separator);
  nothing_made  flights whose frames load but give no dense point (a hover, frames that do
              not overlap, depth maps that all fail) end in -14 with the point cloud failed,
              the reason in the task log and the run's summary in the final status line (the
              frames' sparse points may still give DOM/DSM tiles);
  partial     a flight with two unreadable images and a frame whose longitude is "NaN" ends in
              12 with the failures counted in the summary, and a grey frame is blended into
              the DOM like any other;
  blocks      a flight in two blocks far apart ends in 12 with every located frame in the
              DOM/DSM and every depth map in the point cloud or counted out of it;
  memory      under an address-space limit, a DOM scale whose rasters cannot fit is refused at
              start (-4, naming dom.scale, no log written), and a limit below what the
              program's libraries and threads need ends the run at its start in -14 with the
              reason in the task log;
  file_limit  a run under a file-size limit (ulimit -f) smaller than its databases is not
              killed by SIGXFSZ: error lines, -14 with the reason in the task log, and what
              was written reads; under a limit below one database page no database is left
              without its tables;
  links       a home named through a symbolic link is resolved at the start: the run ends in
              12 with its products readable in the real folder.
Usage: e2e_faults.py --program VornMapping --flight-maker make_example_flight --work DIR
                     [--case NAME ...] [--thorough] [--seed N] [--views-cache DIR]
"""
import argparse
import copy
import io
import json
import os
import random
import shutil
import sqlite3
import subprocess
import sys

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import flight_runs as fr  # noqa: E402
from e2e_flight import REDUCED_FLIGHT  # noqa: E402

SKIPPED = 77
RUN_TIMEOUT = 120.0
LIVE_PATIENCE = 60.0  # thirty-two small frames take several seconds even on a loaded machine
# The front end holds its first 24 frames to settle the camera, and then its six newest for
# refinement, until more come or the input ends: a live run aborted mid-flight needs more
# frames than that to have made tiles.
LIVE_ABORT_FLIGHT = REDUCED_FLIGHT.replace("--frames-per-strip 4", "--frames-per-strip 16")


class Checks:
    def __init__(self):
        self.failed = {}

    def expect(self, name, ok, detail=""):
        if not ok:
            self.failed.setdefault(name, []).append(detail)
        return ok

    def readable(self, name, home, storage):
        problems = []
        tiles, points = fr.check_readable(home, storage, problems)
        self.expect(name, not problems, "; ".join(problems[:5]))
        return tiles, points

    def report(self):
        for name, details in sorted(self.failed.items()):
            for detail in details:
                print(f"FAILED {name}: {detail}", file=sys.stderr)
        return len(self.failed)


def fresh_home(work, name):
    home = os.path.join(work, name)
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)
    return home


def tail(lines, count=8):
    return " | ".join(lines[-count:])


def finished_run(args, checks, name, home, storage=2):
    run = fr.Run(args.program, fr.task(home, args.frames, storage))
    ended = run.wait(RUN_TIMEOUT)
    checks.expect(f"{name}.final_state", ended and run.final_state() == fr.FINISHED,
                  f"ended={ended} state={run.final_state()} log: {tail(fr.log_lines(home))}")
    return run


# Kill moments: a share of the whole run, or a delay after a log line that starts writing.
KILL_ANCHORS = (None, "Generating Tiles", "Saving tile cache to disk")


def case_kill(args, checks):
    reference = finished_run(args, checks, "kill.reference", fresh_home(args.work, "kill"))
    duration = reference.seconds()
    rng = random.Random(args.seed)
    count = 10 if args.thorough else 3
    for index in range(count):
        anchor = KILL_ANCHORS[index % len(KILL_ANCHORS)]
        delay = rng.uniform(0.05, 1.0) * duration if anchor is None else rng.uniform(0.0, 0.4)
        storage = 2 if index % 2 == 0 else 1
        home = fresh_home(args.work, f"kill_{index}")
        run = fr.Run(args.program, fr.task(home, args.frames, storage))
        if anchor:
            fr.wait_for(lambda: run.process.poll() is not None
                        or any(anchor in line for line in fr.log_lines(home)), RUN_TIMEOUT, 0.02)
        fr.wait_for(lambda: run.process.poll() is not None, delay, 0.01)
        ended_first = run.process.poll() is not None
        run.process.kill()
        run.wait(RUN_TIMEOUT)
        journals = [d for d in fr.DATABASES if os.path.exists(os.path.join(home, d + "-journal"))]
        tiles, points = checks.readable("kill.readable", home, storage)
        print(f"kill -9 {delay:.2f}s after {anchor or 'start'} (storage {storage}"
              f"{', run had ended' if ended_first else ''}): {tiles} tiles, {points} points "
              f"readable, journals left: {journals or 'none'}")


def can_mount_tmpfs(folder):
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    mount = f'mount -t tmpfs -o size=16k tmpfs "{folder}"'
    probe = subprocess.run(["unshare", "-m", "sh", "-c", mount], capture_output=True)
    return probe.returncode == 0


def case_full_disk(args, checks):
    probe = fresh_home(args.work, "mount_probe")
    if not can_mount_tmpfs(probe):
        print("full_disk: not testable here: mounting a tmpfs in a private mount namespace "
              "needs root and unshare(1); SQLite's page limit cannot be set from outside "
              "the program")
        return SKIPPED
    # Each folder gets a tmpfs far smaller than the run's products there; the home and its
    # task log stay on the real disk so the reason can be logged.
    for folder, size in (("dom", "48k"), ("dense", "256k")):
        home = fresh_home(args.work, f"full_{folder}")
        mounted = os.path.join(home, folder)
        os.makedirs(mounted)
        # The tmpfs ends with the namespace: what the run left on it is copied out to be read.
        kept = os.path.join(fresh_home(args.work, f"full_{folder}_kept"), folder)
        os.makedirs(kept)
        script = (f'mount -t tmpfs -o size={size} tmpfs "{mounted}" || exit 1; "$0" "$@"; '
                  f'status=$?; cp -a "{mounted}/." "{kept}/"; exit $status')
        run = fr.Run(args.program, fr.task(home, args.frames, 2),
                     prefix=["unshare", "-m", "sh", "-c", script])
        ended = run.wait(RUN_TIMEOUT)
        name = f"full_disk.{folder}"
        errors = run.error_lines()
        log_errors = [line for line in fr.log_lines(home) if line.startswith("E")]
        print(f"{name}: final state {run.final_state()}, records {run.records()}")
        for line in errors[:4]:
            print(f"  {line}")
        checks.expect(f"{name}.ended", ended, "the run did not end")
        checks.expect(f"{name}.error_lines",
                      any("full" in e or "space" in e for e in errors), tail(errors))
        checks.expect(f"{name}.reason_in_log", bool(log_errors), "no error line in log.txt")
        checks.expect(f"{name}.final_state", run.final_state() == fr.FAILED,
                      f"final state {run.final_state()}, records {run.records()}")
        # What did fit must still read, on the full disk and beside it.
        tiles, points = checks.readable(f"{name}.readable", os.path.dirname(kept), 2)
        more_tiles, more_points = checks.readable(f"{name}.readable", home, 2)
        print(f"  readable: {tiles + more_tiles} tiles, {points + more_points} points")
    return 0


def frame_commands(frame_list):
    with open(frame_list) as f:
        return [{"frame": json.dumps(frame)} for frame in json.load(f)]


def case_live(args, checks):
    frames = frame_commands(args.frames)
    # Fed through a pipe and ended with an empty frame.
    home = fresh_home(args.work, "live_piped")
    run = fr.Run(args.program, fr.task(home, live_frames=len(frames)), live=True)
    for command in frames + [{"frame": ""}]:
        run.send(command)
    ended = run.wait(RUN_TIMEOUT)
    checks.expect("live.piped.final_state", ended and run.final_state() == fr.FINISHED,
                  f"ended={ended} state={run.final_state()} log: {tail(fr.log_lines(home))}")
    tiles, points = checks.readable("live.piped.readable", home, 2)
    checks.expect("live.piped.products", tiles > 0 and points > 0,
                  f"{tiles} tiles, {points} points")
    print(f"live piped: state {run.final_state()}, {tiles} tiles, {points} points")

    # Aborted once the first frame reached the terrain tiles, the input still open.
    home = fresh_home(args.work, "live_abort")
    long_flight = frame_commands(fr.render_flight(
        args.flight_maker, os.path.join(args.work, "live_flight"), LIVE_ABORT_FLIGHT))
    run = fr.Run(args.program, fr.task(home, live_frames=len(long_flight)), live=True)
    for command in long_flight:
        run.send(command)
    working = fr.wait_for(
        lambda: any("Generating Tiles" in line for line in fr.log_lines(home)), LIVE_PATIENCE)
    taken = run.statuses[-1]["progress"] if run.statuses else None
    checks.expect("live.abort.fused_while_live", working,
                  f"no frame fused within {LIVE_PATIENCE:.0f}s of {len(long_flight)} pushed frames; "
                  f"progress {taken}; log: {tail(fr.log_lines(home), 3)}")
    run.send({"abort": True})
    ended = run.wait(RUN_TIMEOUT)
    checks.expect("live.abort.final_state", ended and run.final_state() == fr.STOPPED,
                  f"ended={ended} state={run.final_state()}")
    tiles, points = checks.readable("live.abort.readable", home, 2)
    checks.expect("live.abort.kept", tiles > 0, "no tile of the frames fused before the abort")
    print(f"live abort: state {run.final_state()}, {tiles} tiles, {points} points readable")

    # Input closed without the empty frame.
    home = fresh_home(args.work, "live_closed")
    run = fr.Run(args.program, fr.task(home, live_frames=len(frames)), live=True)
    for command in frames:
        run.send(command)
    run.close_input()
    ended = run.wait(RUN_TIMEOUT)
    checks.expect("live.closed.final_state", ended and run.final_state() == fr.FINISHED,
                  f"ended={ended} state={run.final_state()} log: {tail(fr.log_lines(home))}")
    checks.readable("live.closed.readable", home, 2)
    print(f"live closed input: state {run.final_state()}")
    return 0


def case_second_run(args, checks):
    home = fresh_home(args.work, "second_run")
    finished_run(args, checks, "second_run.first", home)
    before = fr.product_digests(home)
    written = fr.product_mtimes(home)
    with open(os.path.join(home, "log.txt"), "rb") as f:
        first_log = f.read()
    run = fr.Run(args.program, fr.task(home, args.frames, 2))
    ended = run.wait(RUN_TIMEOUT)
    with open(os.path.join(home, "log.txt"), "rb") as f:
        log = f.read()
    checks.expect("second_run.first_log_whole", log.startswith(first_log),
                  f"{len(first_log)} bytes before, {len(log)} after")
    checks.expect("second_run.separator", log[len(first_log):].startswith(
        b"\n==== A new run starts here"), repr(log[len(first_log):][:120]))
    # Refused before any work: no status line but the final one.
    checks.expect("second_run.refused_at_once", [s["state"] for s in run.statuses] == [fr.FAILED],
                  f"states {[s['state'] for s in run.statuses]}")
    refusals = [line for line in run.lines if "already exists" in line]
    print(f"second run: state {run.final_state()}, records {run.records()}")
    for line in refusals:
        print(f"  {line}")
    checks.expect("second_run.ended", ended, "the run did not end")
    checks.expect("second_run.refusal", any("dom.mbtiles" in r for r in refusals)
                  and any("dsm.mbtiles" in r for r in refusals), tail(run.error_lines()))
    after = fr.product_digests(home)
    changed = sorted(p for p in before if after.get(p) != before[p])
    checks.expect("second_run.products_kept", not changed, f"changed: {changed[:5]}")
    rewritten = sorted(p for p, t in fr.product_mtimes(home).items() if written.get(p) != t)
    checks.expect("second_run.products_untouched", not rewritten,
                  f"{len(rewritten)} files written again, e.g. {rewritten[:3]}")
    checks.expect("second_run.final_state", run.final_state() == fr.FAILED,
                  f"final state {run.final_state()}, records {run.records()}")
    return 0


def variant_flight(args, name, change):
    """The reduced flight's frame list with change(frames, folder) applied, in its own folder."""
    folder = fresh_home(args.work, f"flight_{name}")
    with open(args.frames) as f:
        frames = json.load(f)
    change(frames, folder)
    path = os.path.join(folder, "frames.json")
    with open(path, "w") as f:
        json.dump(frames, f)
    return path


def not_an_image(frames, folder, indices):
    for index in indices:
        path = os.path.join(folder, f"broken_{index}.jpg")
        with open(path, "w") as f:
            f.write("not an image")
        frames[index]["uri"] = path


def summary_of(run):
    return (run.statuses[-1].get("summary") if run.statuses else None) or ""


def summary_counts(summary):
    """The counts of a run summary, and its failures, each by name."""
    counts, failures = {}, {}
    parts = summary.split("; ")
    for item in parts[0].split(", "):
        name, _, number = item.rpartition(" ")
        if number.isdigit():
            counts[name] = int(number)
    for part in parts[1:]:
        name, _, rest = part.partition(" failed ")
        failures[name] = int(rest.split(" ")[0])
    return counts, failures


def run_variant(args, name, frame_list, extra=None, prefix=()):
    home = fresh_home(args.work, name)
    doc = fr.task(home, frame_list, 2)
    doc.update(extra or {})
    run = fr.Run(args.program, doc, prefix=prefix)
    ended = run.wait(RUN_TIMEOUT)
    print(f"{name}: state {run.final_state()}, summary: {summary_of(run)}")
    return home, run, ended


def expect_nothing_made(checks, name, home, run, ended):
    summary = summary_of(run)
    log = fr.log_lines(home)
    checks.expect(f"{name}.final_state", ended and run.final_state() == fr.FAILED,
                  f"ended={ended} state={run.final_state()} records {run.records()}")
    checks.expect(f"{name}.summary", "depth maps 0, points 0" in summary, summary)
    # No dense point: the point cloud fails. The frames' sparse points may still reach the
    # DOM/DSM; when they do not either, the run says that no tile was written.
    reasons = ("] Products not written: pointcloud_01", "] No DOM or DSM tile was written: ")
    checks.expect(f"{name}.reason_in_log", summary and any(
        line.startswith("E") and any(reason in line for reason in reasons) for line in log),
        tail(log))
    checks.expect(f"{name}.records", run.records().get("pointcloud_01") == fr.FAILED,
                  f"records {run.records()}")


def hover(frames, folder):
    for frame in frames[1:]:
        for key in ("uri", "gps", "attitude"):
            frame[key] = copy.deepcopy(frames[0][key])


def apart(frames, folder):
    # Two kilometres between neighbours: no frame sees another's ground. (Located from their
    # metadata alone: the images themselves do overlap, which the refinement would act on.)
    for index, frame in enumerate(frames):
        frame["gps"]["longitude"] += 0.02 * index


def unmatched(frames, folder):
    # Each frame an independent noise texture at the flight's poses, located from its metadata
    # alone: no pair of frames agrees on any depth.
    rng = np.random.default_rng(5)
    for index, frame in enumerate(frames):
        path = os.path.join(folder, f"noise_{index}.jpg")
        Image.fromarray(rng.integers(0, 256, (480, 640, 3), dtype=np.uint8)).save(path)
        frame["uri"] = path


def case_nothing_made(args, checks):
    direct_poses = {"locate": {"method": "legacy_sfm",
                               "specific": {"sfm.refine.enabled": False}}}
    for name, change, extra in (("hover", hover, None), ("apart", apart, direct_poses),
                                ("unmatched", unmatched, direct_poses)):
        frame_list = variant_flight(args, name, change)
        home, run, ended = run_variant(args, f"nothing_{name}", frame_list, extra)
        expect_nothing_made(checks, f"nothing_made.{name}", home, run, ended)
    return 0


def dom_tiles(home):
    """The DOM's tiles of its deepest zoom as RGBA arrays, by (column, row)."""
    db = sqlite3.connect(os.path.join(home, "dom", "dom.mbtiles"))
    try:
        zoom = db.execute("SELECT max(zoom_level) FROM tiles").fetchone()[0]
        return {(x, y): np.array(Image.open(io.BytesIO(data)).convert("RGBA"))
                for x, y, data in db.execute("SELECT tile_column, tile_row, tile_data FROM tiles "
                                             "WHERE zoom_level = ?", (zoom,))}
    finally:
        db.close()


def spread(tile):
    return tile[..., :3].max(axis=-1).astype(int) - tile[..., :3].min(axis=-1)


# A pixel counts as grey within this spread of its channels, and as coloured from this one on.
GREY_SPREAD, COLOURED_SPREAD = 4, 12
# The first frame alone covers the start of its strip, where blending with its neighbours
# leaves 3-10% of the reduced flight's DOM grey; a frame dropped from the DOM leaves about 0.2%.
GREY_SHARE = 0.01


def grey_first_frame(frames, folder):
    path = os.path.join(folder, "grey_0.jpg")
    Image.open(frames[0]["uri"]).convert("L").save(path, quality=95)
    frames[0]["uri"] = path


def unreadable_and_unplaced(frames, folder):
    not_an_image(frames, folder, (2, 5))
    frames[3]["gps"]["longitude"] = "NaN"


def case_partial(args, checks):
    frame_list = variant_flight(args, "unreadable", unreadable_and_unplaced)
    home, run, ended = run_variant(args, "partial_unreadable", frame_list)
    summary = summary_of(run)
    checks.expect("partial.unreadable.final_state", ended and run.final_state() == fr.FINISHED,
                  f"ended={ended} state={run.final_state()} log: {tail(fr.log_lines(home))}")
    checks.expect("partial.unreadable.counted", summary.startswith("frames read 6, ")
                  and "frames read failed 2 (not an image 2)" in summary
                  and "frames located failed 1 (no usable GPS position 1)" in summary, summary)
    checks.expect("partial.unreadable.tiles", "DOM tiles 0" not in summary, summary)
    checks.readable("partial.unreadable.readable", home, 2)

    # The first frame turned grey: its patch of the DOM is grey where the colour flight's is not.
    reference, colour_run, _ = run_variant(args, "partial_colour", args.frames)
    home, run, ended = run_variant(args, "partial_grey",
                                   variant_flight(args, "grey", grey_first_frame))
    checks.expect("partial.grey.final_state", ended and run.final_state() == fr.FINISHED,
                  f"ended={ended} state={run.final_state()}")
    if colour_run.final_state() != fr.FINISHED or run.final_state() != fr.FINISHED:
        return 0
    colour, grey = dom_tiles(reference), dom_tiles(home)
    covered = greyed = 0
    for key, tile in colour.items():
        seen = tile[..., 3] > 0
        covered += int(seen.sum())
        other = grey.get(key)
        if other is not None:
            greyed += int((seen & (other[..., 3] > 0) & (spread(other) <= GREY_SPREAD)
                           & (spread(tile) >= COLOURED_SPREAD)).sum())
    print(f"grey frame: {greyed} grey DOM pixels of {covered} covered")
    checks.expect("partial.grey.in_dom", greyed >= GREY_SHARE * covered,
                  f"{greyed} grey pixels of {covered}; log: {tail(fr.log_lines(home), 3)}")
    return 0


def two_blocks(frames, folder):
    # The second strip two kilometres east: no frame of it sees the first strip's ground.
    for frame in frames[len(frames) // 2:]:
        frame["gps"]["longitude"] += 0.02


def case_blocks(args, checks):
    direct_poses = {"locate": {"method": "legacy_sfm",
                               "specific": {"sfm.refine.enabled": False}}}
    home, run, ended = run_variant(args, "blocks", variant_flight(args, "blocks", two_blocks),
                                   direct_poses)
    summary = summary_of(run)
    counts, failures = summary_counts(summary)
    checks.expect("blocks.final_state", ended and run.final_state() == fr.FINISHED,
                  f"ended={ended} state={run.final_state()} log: {tail(fr.log_lines(home))}")
    located = counts.get("frames located", -1)
    checks.expect("blocks.every_frame_mapped", located > 0
                  and counts.get("frames in the DOM/DSM") == located, summary)
    in_cloud = counts.get("frames in the point cloud", 0) \
        + failures.get("frames in the point cloud", 0)
    checks.expect("blocks.every_depth_map_counted", counts.get("depth maps") == in_cloud, summary)
    # The last frame of each block maps its own depths, not its sparse points.
    sparse = [line for line in fr.log_lines(home) if "handed on with its sparse points" in line]
    checks.expect("blocks.dense_block_ends", not sparse, tail(sparse))
    checks.readable("blocks.readable", home, 2)
    return 0


def address_limited(megabytes):
    return [sys.executable, "-c",
            "import os, resource, sys; limit = int(sys.argv[1]) << 20; "
            "resource.setrlimit(resource.RLIMIT_AS, (limit, limit)); "
            "os.execv(sys.argv[2], sys.argv[2:])",
            str(megabytes)]


# Far below what one frame's rasters take at 5 cm per pixel, well above the program's start.
ADDRESS_SPACE_MB = 800
# Below what the program's libraries and threads reserve before the first frame.
TIGHT_ADDRESS_SPACE_MB = 300


# Far below the databases of the reduced flight (about 200 KiB each), far above its task log.
FILE_LIMIT_BYTES = 64 << 10
# Below one page of a database: not even an empty one can be made.
TINY_FILE_LIMIT_BYTES = 1 << 10


def file_limited(limit):
    return [sys.executable, "-c",
            "import os, resource, sys; limit = int(sys.argv[1]); "
            "resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)); "
            "os.execv(sys.argv[2], sys.argv[2:])",
            str(limit)]


def has_tiles_table(path):
    with sqlite3.connect(f"file:{path}?mode=ro", uri=True) as db:
        return bool(db.execute(
            "SELECT 1 FROM sqlite_master WHERE type='table' AND name='tiles'").fetchall())


def case_file_limit(args, checks):
    home, run, ended = run_variant(args, "file_limit", args.frames,
                                   prefix=file_limited(FILE_LIMIT_BYTES))
    log = fr.log_lines(home)
    errors = run.error_lines()
    for line in errors[:4]:
        print(f"  {line}")
    checks.expect("file_limit.not_killed", ended and run.process.returncode == 0,
                  f"ended={ended} exit code {run.process.returncode} (-25 is SIGXFSZ)")
    checks.expect("file_limit.final_state", run.final_state() == fr.FAILED,
                  f"final state {run.final_state()}, records {run.records()}")
    checks.expect("file_limit.error_lines", bool(errors), tail(run.lines))
    checks.expect("file_limit.reason_in_log", any(line.startswith("E") for line in log), tail(log))
    checks.readable("file_limit.readable", home, 2)

    # A limit below one database page: no database is left without its tables, and the run
    # fails with the reason.
    home, run, ended = run_variant(args, "file_limit_tiny", args.frames,
                                   prefix=file_limited(TINY_FILE_LIMIT_BYTES))
    checks.expect("file_limit_tiny.final_state", ended and run.final_state() == fr.FAILED,
                  f"ended={ended} state={run.final_state()}")
    for name in ("dom/dom.mbtiles", "dsm/dsm.mbtiles", ".cache/tf/tiles/tile.db"):
        path = os.path.join(home, name)
        checks.expect("file_limit_tiny.whole_or_none",
                      not os.path.exists(path) or has_tiles_table(path), path)
    checks.expect("file_limit_tiny.reason", any(
        "Can't create dom mbtiles file" in line for line in run.error_lines() + fr.log_lines(home)),
        tail(run.lines))
    return 0


def case_links(args, checks):
    """A home named through a link: resolved at the start, mapped in the real folder."""
    base = fresh_home(args.work, "links")
    real, link = os.path.join(base, "real"), os.path.join(base, "link")
    os.makedirs(real)
    os.symlink(real, link)
    run = fr.Run(args.program, fr.task(link, args.frames, 2))
    ended = run.wait(RUN_TIMEOUT)
    checks.expect("links.final_state", ended and run.final_state() == fr.FINISHED,
                  f"ended={ended} state={run.final_state()} log: {tail(fr.log_lines(real))}")
    checks.readable("links.readable", real, 2)
    checks.expect("links.link_kept", os.path.islink(link) and sorted(os.listdir(base)) == [
        "link", "real"], str(os.listdir(base)))
    return 0


def case_memory(args, checks):
    # A scale whose rasters could never fit is refused before anything is written.
    fine = {"dom": {"scale": 0.05, "tiling": {"storage": 2}}}
    home, run, ended = run_variant(args, "memory", args.frames, fine,
                                   prefix=address_limited(ADDRESS_SPACE_MB))
    last = json.loads(run.lines[-1]) if run.lines and run.lines[-1].startswith("{") else {}
    checks.expect("memory.refused_at_start", ended and not run.statuses and last.get("code") == -4
                  and "dom.scale" in last.get("message", ""), f"last line {run.lines[-1:]}")
    checks.expect("memory.no_log", not os.path.exists(os.path.join(home, "log.txt")), home)

    # Under a limit too small for the run's libraries and threads it is refused at its start,
    # with the reason in the log, before any thread could fail inside a library.
    home, run, ended = run_variant(args, "memory_tight", args.frames,
                                   prefix=address_limited(TIGHT_ADDRESS_SPACE_MB))
    log = fr.log_lines(home)
    checks.expect("memory_tight.final_state", ended and run.final_state() == fr.FAILED,
                  f"ended={ended} state={run.final_state()} log: {tail(log)}")
    checks.expect("memory_tight.reason_in_log", any(
        line.startswith("E") and "address-space limit" in line for line in log), tail(log))
    return 0


CASES = {"kill": case_kill, "full_disk": case_full_disk, "live": case_live,
         "second_run": case_second_run, "nothing_made": case_nothing_made,
         "partial": case_partial, "memory": case_memory, "file_limit": case_file_limit,
         "links": case_links, "blocks": case_blocks}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--flight-maker", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--case", action="append", choices=sorted(CASES))
    parser.add_argument("--thorough", action="store_true", help="10 kill moments, not 3")
    parser.add_argument("--seed", type=int, default=21)
    parser.add_argument("--views-cache", default="",
                        help="folder where the flight maker keeps rendered views for other runs")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    args.frames = fr.render_flight(args.flight_maker, os.path.join(args.work, "flight"),
                                   REDUCED_FLIGHT, args.views_cache)
    checks = Checks()
    results = [CASES[name](args, checks) for name in args.case or sorted(CASES)]
    if checks.report():
        return 1
    return SKIPPED if results and all(r == SKIPPED for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())

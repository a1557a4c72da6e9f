#!/usr/bin/env python3
"""Measures the mapping program end to end on rendered flights, pinned to 1 and 2 cores.

For each flight and core count: seconds per frame (wall clock, start to the process's exit), the
moment the run has handed every frame to the chain (progress 1.0 in the status lines; the
rest is the dense stages' tail and the products' flush), the stage times the program prints
(depth per frame, clean, prune, the Timer report, the tile stores' write and read times), the
CPU time of its threads grouped by the work their log lines name (sampled from /proc;
"run thread" takes the frames in and locates them, then flushes; "feed" hands the located
frames to the back end in order (the dense stage's intake);
"unlabelled" threads log nothing: frame decoding, the status loop), the process's
peak resident memory and the machine's load average. A run longer than --timeout is killed
and reported. With --bare, the bare loop (bare_decode_sgbm: decode, reduce to the dense stage's
size and match each consecutive pair, nothing else) runs over the same frames pinned alike,
and "ratio" is the program's time per frame over the bare loop's. With --repeat N, the bare loop
and the program run alternately N times each, so that a slow spell of a shared machine falls on
both, and a summary line gives the median of each and the ratio of the medians.

Usage: benchmark_flight.py --program VornMapping --flight-maker make_example_flight --work DIR
                           [--flight NAME=ARGS ...] [--cores 1,2] [--timeout S] [--first-core N]
                           [--bare bare_decode_sgbm] [--repeat N]
Default flights: "example" (make_example_flight defaults: 16 frames of 1000 x 750),
"12mp_16" and "12mp_64" (4000 x 3000 frames, 16 and 64 of them), "fixed_wing" and
"fixed_wing_12mp" (the fixed-wing survey's 40 frames with its autopilot's frame list, at
1000 x 750 and 4000 x 3000). The hard fixed-wing flight's 64 frames at 12 MP, for example:
--flight "real_12mp=--fixed-wing --real --width 4000" (each of its frames takes tens of seconds
to render, once: a folder rendered with the same options is reused).
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import flight_runs as fr  # noqa: E402

TWELVE_MP = "--width 4000 --height 3000 --fx 3400"
DEFAULT_FLIGHTS = (
    "example=",
    f"12mp_16={TWELVE_MP} --strips 2 --frames-per-strip 8",
    f"12mp_64={TWELVE_MP} --strips 4 --frames-per-strip 16",
    "fixed_wing=--fixed-wing",
    "fixed_wing_12mp=--fixed-wing --width 4000",
)

# Log lines that carry a duration, by stage: (pattern, unit in seconds).
STAGE_LINES = {
    "depth": (re.compile(r"Frame ID:\d+,Device:\w+,Status:\w+,Time:([\d.]+)s"), 1.0),
    "clean": (re.compile(r"Cleaner processed \d+ in ([\d.e-]+)s"), 1.0),
    "prune": (re.compile(r"Pruner processed \d+ with \S+ points in ([\d.e-]+)s"), 1.0),
    "tiles write": (re.compile(r"SetTile: \w+ write time: .*total=(\d+)ms"), 1e-3),
    "tiles read": (re.compile(r"GetTile: \w+ read time: .*total=(\d+)ms"), 1e-3),
}
# What a thread's log lines say it works on, for its CPU time (the log names threads by id).
THREAD_WORK = (("Frame ID:", "depth"), ("DenseDepth", "depth"), ("Cleaner", "clean"),
               ("Pruner", "prune"), ("errainFusion", "terrain"), ("Generating Tiles", "terrain"),
               ("Remove cache", "terrain"), ("PointCloudTiles", "point cloud"),
               ("TileManager", "tiles"), ("Saving tile cache", "tiles"),
               ("Task processed", "run thread"), ("Feeding located frames", "feed"))
LOG_LINE = re.compile(r"^[IWEF]\d{4} [\d:]+ +(\d+)\] (.*)")
TIMER_ROW = re.compile(r"^(\S+)\s+(\d+)\s+(\S+)\s+(\S+)\s+(\S+)\s+([\d.]+ ?\w+)\s*$")


def stage_times(lines):
    """Sum and count of each stage's durations found in the task log and the Timer report."""
    stages = {}
    for line in lines:
        for stage, (pattern, unit) in STAGE_LINES.items():
            match = pattern.search(line)
            if match:
                total, count = stages.get(stage, (0.0, 0))
                stages[stage] = (total + float(match.group(1)) * unit, count + 1)
    return stages


def timer_report(lines):
    """Rows of the Timer report the program prints on its standard error stream."""
    return [" ".join(m.groups()) for m in map(TIMER_ROW.match, lines) if m]


def thread_cpu(pid, seen):
    """Updates seen (thread id -> CPU seconds) from /proc; threads may end before the process."""
    ticks = os.sysconf("SC_CLK_TCK")
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        seen[int(tid)] = max(seen.get(int(tid), 0.0), (int(fields[11]) + int(fields[12])) / ticks)


def cpu_by_work(log, seen, pid):
    """CPU seconds of the process's threads, grouped by the work their log lines name."""
    work = {}
    for line in log:
        match = LOG_LINE.match(line)
        if match:
            for word, stage in THREAD_WORK:
                if word in match.group(2):
                    work.setdefault(int(match.group(1)), set()).add(stage)
    groups = {}
    for tid, seconds in seen.items():
        label = "+".join(sorted(work.get(tid, ()))) or ("main" if tid == pid else "unlabelled")
        groups[label] = round(groups.get(label, 0.0) + seconds, 2)
    return dict(sorted(groups.items(), key=lambda item: -item[1]))


def pinned(args, cores):
    return ("taskset", "-c", ",".join(str(args.first_core + c) for c in range(cores)))


def measure_bare(args, frame_list, cores):
    """The bare loop's own figures (seconds per frame and its steps), pinned like the program."""
    done = subprocess.run(pinned(args, cores) + (args.bare, "--frames", frame_list),
                          capture_output=True, text=True, timeout=args.timeout, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def measure(args, name, frame_list, cores):
    cpus = pinned(args, cores)[-1]
    # Named by the cores it runs on, so that runs pinned apart can share one work folder.
    home = os.path.join(args.work, f"home_{name}_cpu{cpus.replace(',', '-')}")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)
    with open(frame_list) as f:
        frames = len(json.load(f))
    load = os.getloadavg()
    run = fr.Run(args.program, fr.task(home, frame_list, 2), prefix=pinned(args, cores))
    taken_in = None
    usage = None
    seen = {}
    deadline = time.monotonic() + args.timeout
    # Reaped here with wait4 (not Popen.poll) to keep the child's resource usage.
    while usage is None and time.monotonic() < deadline:
        progress = (run.statuses[-1].get("progress") or {}) if run.statuses else {}
        if taken_in is None and progress.get("total", 0) >= 1.0:
            taken_in = run.seconds()
        thread_cpu(run.process.pid, seen)
        pid, _, rusage = os.wait4(run.process.pid, os.WNOHANG)
        usage = rusage if pid else None
        time.sleep(0.1)
    ended = usage is not None
    if not ended:
        run.process.kill()
        _, _, usage = os.wait4(run.process.pid, 0)
    run.process.returncode = 0
    run.join_readers()
    seconds = run.seconds()
    logged = fr.log_lines(home) + run.output  # the standard error repeats the log
    result = {
        "flight": name, "frames": frames, "cores": cpus, "ended": ended,
        "state": run.final_state(), "seconds": round(seconds, 1),
        "seconds_per_frame": round(seconds / frames, 2),
        "frames_taken_in_s": round(taken_in, 1) if taken_in else None,
        "peak_rss_mb": round(usage.ru_maxrss / 1024.0),
        "cpu_s": round(usage.ru_utime + usage.ru_stime, 1),
        "load_average": [round(v, 1) for v in load],
        "stages_s": {k: [round(t, 2), n] for k, (t, n) in stage_times(logged).items()},
        "timer_report": timer_report(logged),
        "thread_cpu_s": cpu_by_work(logged, seen, run.process.pid),
    }
    if not ended:
        result["note"] = f"killed after {args.timeout:.0f}s"
    return result


def measure_with_bare(args, name, frame_list, cores):
    """One run of the program, after one of the bare loop when there is one to compare with."""
    bare = measure_bare(args, frame_list, cores) if args.bare else None
    result = measure(args, name, frame_list, cores)
    if bare:
        result["bare"] = {k: round(v, 3) if isinstance(v, float) else v for k, v in bare.items()}
        result["ratio"] = round(result["seconds"] / max(bare["seconds"], 1e-9), 2)
        # CPU over CPU: what the program adds, whatever else shares the cores.
        result["cpu_ratio"] = round(result["cpu_s"] / max(bare["cpu_s"], 1e-9), 2)
    return result


def summary_of(runs):
    """Medians of repeated runs of one case: the program's, the bare loop's and their ratio."""
    seconds = statistics.median(r["seconds"] for r in runs)
    summary = {"flight": runs[0]["flight"], "cores": runs[0]["cores"], "runs": len(runs),
               "median_seconds": seconds,
               "median_peak_rss_mb": statistics.median(r["peak_rss_mb"] for r in runs)}
    if "bare" in runs[0]:
        bare = statistics.median(r["bare"]["seconds"] for r in runs)
        summary["median_bare_seconds"] = round(bare, 2)
        summary["ratio_of_medians"] = round(seconds / max(bare, 1e-9), 2)
        summary["ratios"] = [r["ratio"] for r in runs]
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--flight-maker", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--flight", action="append", help="NAME=make_example_flight options")
    parser.add_argument("--cores", default="1,2")
    parser.add_argument("--timeout", type=float, default=900.0)
    parser.add_argument("--first-core", type=int, default=0, help="pin to cores from this one")
    parser.add_argument("--bare", help="the bare decode+reduce+match loop to compare with")
    parser.add_argument("--repeat", type=int, default=1, help="alternate runs per case")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    results = []
    for spec in args.flight or DEFAULT_FLIGHTS:
        name, _, options = spec.partition("=")
        started = time.monotonic()
        frame_list = fr.render_flight(args.flight_maker, os.path.join(args.work, name), options)
        print(f"# {name}: flight ready in {time.monotonic() - started:.0f}s", flush=True)
        for cores in (int(c) for c in args.cores.split(",")):
            runs = []
            for _ in range(args.repeat):
                runs.append(measure_with_bare(args, name, frame_list, cores))
                print(json.dumps(runs[-1]), flush=True)
            results.extend(runs)
            if args.repeat > 1:
                print(json.dumps(summary_of(runs)), flush=True)
    with open(os.path.join(args.work, "benchmark.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())

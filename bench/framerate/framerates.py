#!/usr/bin/python3
"""Frame rate this machine sustains per depth quality and binning: measured with tarnwell on an
emulated camera computing real depth (`measure`, into a CSV file: the rate, and from the counters
the frames the camera sent, the results the host delivered and the frames it dropped for want of
a buffer), and drawn as a chart (`chart`, a PNG file, with Debian's python3-matplotlib).

    bench/framerate/framerates.py measure -o docs/images/framerates.csv
    bench/framerate/framerates.py chart docs/images/framerates.csv docs/images/framerates.png
"""

import argparse
import csv
import datetime
import math
import os
import platform
import re
import statistics
import subprocess
import sys

QUALITIES = ["Low", "Medium", "High", "Full"]
BINNINGS = [1, 2, 4]
SUMMARY = re.compile(r"^#grabbed: (\d+), ([0-9.]+) fps, (\d+) errors\.$", re.MULTILINE)
COUNTER = re.compile(r"^(Total Buffer|Buffer Underrun) Count +=  ?(\d+)$", re.MULTILINE)
FIELDS = ["quality", "binning", "run", "fps", "grabbed", "errors", "sent", "dropped", "load"]


def processor():
    """The processor's model name and the number of processors the program may use."""
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{len(os.sched_getaffinity(0))} cores, {model}"


def run_once(args, quality, binning):
    command = [args.tarnwell, "--enable-disparity", "--framerate", f"{args.framerate:g}",
               "--duration", str(args.duration), "--quality-mode", quality,
               "--binning", str(binning)]
    # A run lasts its duration plus the first result and the stop; Full at binning 1 takes about
    # a second per frame on two cores.
    done = subprocess.run(command, capture_output=True, text=True,
                          timeout=args.duration + 120, check=False)
    match = SUMMARY.search(done.stdout)
    counters = dict(COUNTER.findall(done.stdout))
    if done.returncode != 0 or match is None or len(counters) != 2:
        sys.exit(f"{' '.join(command)}: exit status {done.returncode}, no summary or counters\n"
                 f"{done.stdout}{done.stderr}")
    # Every frame the camera sent took a buffer or, finding none, was dropped as an underrun.
    dropped = int(counters["Buffer Underrun"])
    sent = int(counters["Total Buffer"]) + dropped
    return int(match.group(1)), float(match.group(2)), int(match.group(3)), sent, dropped


def measure(args):
    qualities = args.qualities.split(",")
    binnings = [int(b) for b in args.binnings.split(",")]
    with open(args.output, "w", newline="", encoding="utf-8") as out:
        out.write(f"# tarnwell --enable-disparity --framerate {args.framerate:g} "
                  f"--duration {args.duration}; {processor()}; "
                  f"{datetime.date.today().isoformat()}\n")
        writer = csv.DictWriter(out, FIELDS, lineterminator="\n")
        writer.writeheader()
        # Whole rounds one after another, so that a busy moment of the machine touches one run
        # of each setting rather than every run of one.
        for run in range(1, args.runs + 1):
            for quality in qualities:
                for binning in binnings:
                    grabbed, fps, errors, sent, dropped = run_once(args, quality, binning)
                    load = os.getloadavg()[0]
                    writer.writerow({"quality": quality, "binning": binning, "run": run,
                                     "fps": fps, "grabbed": grabbed, "errors": errors,
                                     "sent": sent, "dropped": dropped, "load": f"{load:.2f}"})
                    out.flush()
                    print(f"run {run}: {quality:6} binning {binning}: {fps:7.2f} fps, "
                          f"{errors} errors; camera sent {sent}, host delivered {grabbed}, "
                          f"dropped {dropped} (load {load:.2f})", flush=True)


def read_rates(path):
    """The title line and, per (quality, binning), the measured rates."""
    with open(path, encoding="utf-8") as source:
        lines = source.read().splitlines()
    title = lines[0].lstrip("# ") if lines and lines[0].startswith("#") else ""
    rates = {}
    for row in csv.DictReader(line for line in lines if not line.startswith("#")):
        rates.setdefault((row["quality"], int(row["binning"])), []).append(float(row["fps"]))
    return title, rates


def chart(args):
    import matplotlib  # pylint: disable=import-outside-toplevel
    import matplotlib.ticker  # pylint: disable=import-outside-toplevel
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt  # pylint: disable=import-outside-toplevel

    title, rates = read_rates(args.csv)
    if not rates:
        sys.exit(f"{args.csv}: no measured rate")
    qualities = [q for q in QUALITIES if any(key[0] == q for key in rates)]
    binnings = sorted({key[1] for key in rates})
    width = 0.8 / len(binnings)
    figure, axes = plt.subplots(figsize=(8, 4.5), dpi=100)
    for i, binning in enumerate(binnings):
        xs, medians, below, above = [], [], [], []
        for x, quality in enumerate(qualities):
            runs = rates.get((quality, binning))
            if not runs:
                continue
            median = statistics.median(runs)
            xs.append(x + (i - (len(binnings) - 1) / 2) * width)
            medians.append(median)
            below.append(median - min(runs))
            above.append(max(runs) - median)
        bars = axes.bar(xs, medians, width, yerr=[below, above], capsize=3,
                        label=f"binning {binning}", color=plt.cm.viridis(0.15 + 0.7 * i /
                                                                       max(1, len(binnings) - 1)))
        axes.bar_label(bars, fmt="%.3g", padding=2, fontsize=8)
    asked = re.search(r"--framerate ([0-9.]+)", title)
    if asked:
        axes.axhline(float(asked.group(1)), color="0.4", linestyle="--", linewidth=1,
                     label="rate asked")
    # Frame rates span from a few to a hundred: a logarithmic axis shows both ends, from the
    # power of ten below the slowest to some room above the fastest for the labels.
    lowest = min(min(runs) for runs in rates.values())
    highest = max(max(runs) for runs in rates.values())
    axes.set_yscale("log")
    axes.set_ylim(10 ** math.floor(math.log10(max(lowest, 0.01))), highest * 1.6)
    axes.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%g"))
    axes.set_xticks(range(len(qualities)), qualities)
    axes.set_xlabel("--quality-mode")
    axes.set_ylabel("frames per second")
    axes.set_title("Frame rate sustained, disparity image alone (median of the runs, "
                   "whiskers from lowest to highest)", fontsize=10)
    figure.text(0.5, 0.005, title, ha="center", va="bottom", fontsize=7, color="0.35")
    axes.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1), frameon=False)
    axes.grid(axis="y", which="major", alpha=0.3)
    figure.tight_layout(rect=(0, 0.03, 1, 1))
    # No timestamp in the file: the same measurements give the same picture.
    figure.savefig(args.png, metadata={"Software": None})
    print(f"{args.png}: {len(qualities)} qualities x {len(binnings)} binnings")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    m = commands.add_parser("measure", help="run tarnwell for each setting, write a CSV file")
    m.add_argument("-o", "--output", required=True, help="the CSV file to write")
    m.add_argument("--tarnwell", default="build/bin/tarnwell", help="the program to run")
    m.add_argument("--qualities", default=",".join(QUALITIES))
    m.add_argument("--binnings", default=",".join(str(b) for b in BINNINGS))
    m.add_argument("--runs", type=int, default=2, help="runs of each setting (default 2)")
    m.add_argument("--duration", type=int, default=10, help="seconds per run (default 10)")
    m.add_argument("--framerate", type=float, default=100, help="rate asked (default 100)")
    m.set_defaults(action=measure)
    c = commands.add_parser("chart", help="draw the rates of a CSV file as a PNG chart")
    c.add_argument("csv")
    c.add_argument("png")
    c.set_defaults(action=chart)
    args = parser.parse_args()
    args.action(args)


if __name__ == "__main__":
    main()

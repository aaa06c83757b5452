#!/usr/bin/env python3
"""Whole-process figures of tarnwell against its goals: loop overhead (from the Google Benchmark
executable), throughput, accuracy, latency against the camera model, processor cost while
waiting, start-up time and memory. Each figure is the median of several runs; the table it prints
is the one in docs/PERFORMANCE.md."""

import argparse
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

RULE = "=" * 49

# Scenarios, all with modelled processing: the figures measure the program, not this machine's
# depth computation (README.md's table has that).
# The default cameras: the link and depth computation take the time a real camera's would.
MODELLED = {"cameras": [{"processing": "modelled"}, {"processing": "modelled"}]}
# The others take out of the way what would hold the camera below the rate asked for.
# Throughput and memory: no link or depth limit; 1024 buffers ride out 50 ms without a retrieval.
FAST = {"cameras": [{"maxFrameRate": 1000000, "linkBandwidth": 1e12, "processingScale": 0,
                     "bufferCount": 1024, "processing": "modelled"}]}
# Accuracy: at binning 4 a 10 Gbit/s link and the rectification leave 1 kHz to the frame rate.
ACCURATE = {"cameras": [{"maxFrameRate": 1000, "linkBandwidth": 1e10,
                         "processing": "modelled"}]}


class Row:
    def __init__(self, goal, target, measured, met, command, note=""):
        self.goal, self.target, self.measured = goal, target, measured
        self.met, self.command, self.note = met, command, note


def log(text):
    print(text, file=sys.stderr, flush=True)


def load():
    return open("/proc/loadavg").read().split()[0]


class Runner:
    def __init__(self, build, repeat, out):
        self.build = Path(build).resolve()
        self.binary = self.build / "bin" / "tarnwell"
        self.benchmark = self.build / "bench" / "measurement_benchmark"
        self.repeat = repeat
        self.out = Path(out)
        self.out.mkdir(parents=True, exist_ok=True)
        self.scenarios = Path(tempfile.mkdtemp(prefix="tarnwell-perf-"))
        self.loads = []
        self.modelled = self.scenario("modelled", MODELLED)

    def scenario(self, name, content):
        path = self.scenarios / f"{name}.json"
        path.write_text(json.dumps(content))
        return str(path)

    def environment(self, scenario):
        env = dict(os.environ)
        if scenario is None:
            env.pop("ORVEL_EMULATION", None)
        else:
            env["ORVEL_EMULATION"] = scenario
        return env

    def run(self, arguments, scenario=None, sample=None, prefix=()):
        """Runs tarnwell to its end; returns (stdout, wall seconds, rusage). `scenario` None: the
        default cameras with modelled processing. `sample(pid)` is called about once a second
        while it runs; `prefix` runs it through another command."""
        scenario = self.modelled if scenario is None else scenario
        self.loads.append(float(load()))
        start = time.perf_counter()
        process = subprocess.Popen(list(prefix) + [str(self.binary)] + arguments,
                                   stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=self.environment(scenario))
        chunks = []
        reader = threading.Thread(target=lambda: chunks.append(process.stdout.read()))
        reader.start()
        while True:
            pid, status, usage = os.wait4(process.pid, 0 if sample is None else os.WNOHANG)
            if pid != 0:
                break
            sample(process.pid)
            time.sleep(1.0)
        wall = time.perf_counter() - start
        reader.join()
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            raise RuntimeError(f"tarnwell {' '.join(arguments)} failed: "
                               f"{process.stderr.read().decode()}")
        return chunks[0].decode(), wall, usage


def summary_of(text):
    lines = text.splitlines()
    summary = lines[lines.index(RULE) + 1]
    match = re.match(r"#grabbed: (\d+), ([\d.]+) fps, (\d+) errors\.", summary)
    return int(match.group(1)), float(match.group(2))


def windows_of(text):
    lines = text.splitlines()
    return [float(m.group(1)) for line in lines[:lines.index(RULE)]
            if (m := re.fullmatch(r"([\d.]+) fps, \d+ errors\.", line))]


def counter_of(text, label):
    return int(re.search(rf"^{label}\s+= (-?\d+)$", text, re.M).group(1))


def percent(value, truth):
    return abs(value - truth) / truth * 100


# Real-time priority for the program and its acquisition thread: what is left is the program's
# and the emulation's own delay, without the waits for a processor that other work causes.
REALTIME = ("chrt", "-f", "1")


def priorities():
    """Normal priority, and real-time priority where this user may give it."""
    if os.geteuid() == 0 and shutil.which("chrt"):
        return [((), ""), (REALTIME, ", real-time priority")]
    return [((), "")]


# ---- loop overhead: the Google Benchmark executable -------------------------------------------

def loop_figures(runner):
    report = runner.out / "measurement_benchmark.json"
    repetitions = max(runner.repeat * 2, 10)
    # One core for both threads: a hand-over from the acquisition thread to the loop then is a
    # plain switch. Across the two cores, waking the other one made the time per result vary
    # several-fold from run to run on this shared virtual machine.
    command = ["taskset", "-c", "1", str(runner.benchmark),
               f"--benchmark_repetitions={repetitions}",
               "--benchmark_enable_random_interleaving=true",
               "--benchmark_report_aggregates_only=true", f"--benchmark_out={report}",
               "--benchmark_out_format=json"]
    log("loop: " + " ".join(command))
    runner.loads.append(float(load()))
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    medians = {}
    for entry in json.loads(report.read_text())["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            medians[entry["run_name"]] = entry

    def find(prefix):
        return medians[next(n for n in medians if n.startswith(prefix))]

    shown = ("taskset -c 1 build-perf/bench/measurement_benchmark --benchmark_repetitions=10 "
             "--benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true")
    rows = []
    frame_work = find("BM_FrameRateWork")["s_per_result"]
    latency_work = find("BM_LatencyWork/1/")["s_per_result"]
    for label, bare, program, work in [
            ("frame rate, camera at 20 kHz", "BM_FrameRateBare/20000/",
             "BM_FrameRateProgram/20000/", frame_work),
            ("latency, camera with next to no delay", "BM_LatencyBare/0/", "BM_LatencyProgram/0/",
             latency_work),
            ("latency, default camera at binning 4 (1.3 ms)", "BM_LatencyBare/1/",
             "BM_LatencyProgram/1/", latency_work)]:
        b, p = find(bare)["s_per_result"], find(program)["s_per_result"]
        ratio = p / b
        rows.append(Row(f"1. Loop overhead, {label}: program / bare loop, time per result",
                        "≤ 1.05", f"{ratio:.3f} ({p * 1e6:,.2f} / {b * 1e6:,.2f} µs); own work "
                        f"alone {work / b * 100:.2f} % of the bare loop's time",
                        ratio <= 1.05, shown))
    for label, prefix in [("frame rate", "BM_FrameRateWork"),
                          ("latency, line formatted, not written", "BM_LatencyWork/0/"),
                          ("latency, line written to /dev/null", "BM_LatencyWork/1/")]:
        entry = find(prefix)
        seconds = entry["s_per_result"]
        allocations = entry["allocs_per_iteration"]
        rows.append(Row(f"1. Program's own work per result, {label}", "< 100 ns, no allocation",
                        f"{seconds * 1e9:.0f} ns, {allocations:.6f} allocations per result",
                        seconds < 100e-9 and allocations < 1e-3, shown))
    return rows


# ---- throughput ----------------------------------------------------------------------------

def throughput_figures(runner):
    scenario = runner.scenario("fast", FAST)
    arguments = ["--framerate", "20000", "--duration", "10", "--binning", "4"]
    rows = []
    for prefix, how in priorities():
        rates, underruns, windows = [], [], []
        for i in range(runner.repeat):
            text, wall, usage = runner.run(arguments, scenario, prefix=prefix)
            rates.append(summary_of(text)[1])
            underruns.append(counter_of(text, "Buffer Underrun Count"))
            windows += windows_of(text)
            log(f"throughput{how} {i + 1}: {rates[-1]} fps, {underruns[-1]} underruns, cpu "
                f"{(usage.ru_utime + usage.ru_stime) / wall * 100:.0f} %, load {runner.loads[-1]}")
        rate = statistics.median(rates)
        error = percent(rate, 20000)
        worst_rate = max(percent(r, 20000) for r in rates)
        worst_window = max(percent(w, 20000) for w in windows)
        command = "ORVEL_EMULATION=fast.json " + " ".join(
            list(prefix) + ["build-perf/bin/tarnwell"] + arguments)
        rows.append(Row(f"2. Throughput{how}: results per second, underruns",
                        "≥ 20,000/s, 0 underruns",
                        f"{rate:,.2f}/s, {statistics.median(underruns)} underruns "
                        f"(runs: {', '.join(str(u) for u in underruns)})",
                        rate >= 20000 * 0.999 and statistics.median(underruns) == 0, command))
        rows.append(Row(f"2. Throughput{how}: summary against the camera's 20,000/s",
                        "within 0.1 %", f"{error:.3f} % (worst run {worst_rate:.3f} %; "
                        f"window lines: worst {worst_window:.2f} %)",
                        error <= 0.1, command))
    return rows


# ---- accuracy of the frame rate ---------------------------------------------------------------

def accuracy_figures(runner):
    scenario = runner.scenario("accurate", ACCURATE)
    rates = [2, 30, 1000]
    errors = {rate: [] for rate in rates}
    window_errors = {rate: [] for rate in rates}
    for i in range(runner.repeat):
        # The three rates side by side: together they cost a few percent of one core.
        results = {}

        def measure(rate):
            results[rate] = runner.run(["--framerate", str(rate), "--duration", "10",
                                        "--binning", "4"], scenario)[0]
        threads = [threading.Thread(target=measure, args=(rate,)) for rate in rates]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for rate in rates:
            _, measured = summary_of(results[rate])
            errors[rate].append(percent(measured, rate))
            window_errors[rate].append(max(percent(w, rate) for w in windows_of(results[rate])))
        log(f"accuracy {i + 1}: " + ", ".join(
            f"{rate} Hz {errors[rate][-1]:.3f} % / windows {window_errors[rate][-1]:.3f} %"
            for rate in rates) + f", load {runner.loads[-1]}")
    rows = []
    for rate in rates:
        command = (f"ORVEL_EMULATION=accurate.json build-perf/bin/tarnwell --framerate {rate} "
                   "--duration 10 --binning 4")
        summary = statistics.median(errors[rate])
        window = statistics.median(window_errors[rate])
        rows.append(Row(f"3. Accuracy at {rate:,} Hz over 10 s: summary / worst window line",
                        "≤ 0.1 % / ≤ 0.5 %",
                        f"{summary:.3f} % / {window:.3f} % (worst run: "
                        f"{max(errors[rate]):.3f} % / {max(window_errors[rate]):.3f} %)",
                        summary <= 0.1 and window <= 0.5, command))
    return rows


# ---- latency against the camera model --------------------------------------------------------

# The host-work constants of emulator/src/CameraModel.cpp (emulator/README.md, Calibration).
RECEIVE_S_PER_BYTE = 0.045e-9
COPY_S_PER_BYTE = 0.04e-9
REDUCE_S_PER_PIXEL = 0.75e-9
DEPTH_S_PER_PIXEL = 21.5e-9
FOUR_PATH_S_PER_CANDIDATE = 0.0525e-9
EXPOSURE_S = 1e-3
CONTROL_ROUND_TRIP_S = 400e-6
TRIGGER_JITTER_S = 100e-6


def model_latency_ms(binning, components, packet_size=1500, bandwidth=1e9, quality=2,
                     disparity_range=128):
    """The emulation's modelled latency of a triggered frame as the program times it (from the
    trigger command's acknowledgement), at default settings: emulator/README.md, timing model. The
    raw pair crosses the link whatever the components; the mean trigger jitter is included."""
    width, height = 1920 // binning, 1200 // binning
    link_bytes = width * 2 * height
    packets = math.ceil(link_bytes / (packet_size - 36)) + 2
    transfer = packets * (packet_size + 38) * 8 / bandwidth
    host = RECEIVE_S_PER_BYTE * link_bytes
    if "Intensity" in components:
        host += COPY_S_PER_BYTE * width * height
    if "IntensityCombined" in components:
        host += COPY_S_PER_BYTE * width * 2 * height
    if set(components) & {"Disparity", "Confidence", "Error"}:
        pixels = (width // quality) * (height // quality)
        host += (FOUR_PATH_S_PER_CANDIDATE * pixels * (disparity_range // binning) +
                 DEPTH_S_PER_PIXEL * pixels)
        if quality > 1:
            host += REDUCE_S_PER_PIXEL * 2 * width * height
    latency = EXPOSURE_S + transfer + host + TRIGGER_JITTER_S / 2 - CONTROL_ROUND_TRIP_S / 2
    return latency * 1e3


def latency_stages(text):
    stages, current = [], None
    for line in text.splitlines():
        if line.startswith("Measure "):
            current = []
            stages.append(current)
        elif (m := re.fullmatch(r"Latency: (\d+)ms", line)) and current is not None:
            current.append(int(m.group(1)))
    averages = [float(m) for m in re.findall(r"^Avg\. .*: ([\d.]+) ms$", text, re.M)]
    return stages, averages


def latency_figures(runner):
    rows = []
    for binning, switches, components in [
            (2, [], ["Intensity"]),
            (1, ["--enable-intensity", "--enable-disparity"], ["Intensity", "Disparity"])]:
        models = [model_latency_ms(binning, ["RawCombined"]), model_latency_ms(binning, components)]
        arguments = ["--measurement-mode", "latency", "--frames", "100", "--binning",
                     str(binning)] + switches
        for prefix, how in priorities():
            worst = [[], []]
            average_errors = [[], []]
            for i in range(runner.repeat):
                text = runner.run(arguments, prefix=prefix)[0]
                stages, averages = latency_stages(text)
                for s in range(2):
                    recorded = stages[s][1:]  # the first of a series is printed, not recorded
                    worst[s].append(max(abs(v - models[s]) for v in recorded))
                    average_errors[s].append(abs(averages[s] - models[s]))
                log(f"latency binning {binning}{how} {i + 1}: model {models[0]:.2f} / "
                    f"{models[1]:.2f} ms, averages {averages}, worst lines "
                    f"{worst[0][-1]:.2f} / {worst[1][-1]:.2f} ms, load {runner.loads[-1]}")
            command = "ORVEL_EMULATION=modelled.json " + " ".join(
                list(prefix) + ["build-perf/bin/tarnwell"] + arguments)
            for s, stage in enumerate(["network transfer time", "system latency"]):
                w, a = statistics.median(worst[s]), statistics.median(average_errors[s])
                subject = " + ".join(components) if s else "RawCombined"
                rows.append(Row(f"3. Latency{how}, {stage} ({subject}, binning {binning}): "
                                f"model {models[s]:.2f} ms; worst line / average",
                                "within 1 ms",
                                f"{w:.2f} / {a:.2f} ms (worst run {max(worst[s]):.2f} ms)",
                                w < 1 and a < 1, command))
    return rows


# ---- processor cost while waiting --------------------------------------------------------

def cpu_figures(runner):
    arguments = ["--framerate", "30", "--duration", "10", "--binning", "2"]
    shares = []
    for i in range(runner.repeat):
        _, wall, usage = runner.run(arguments)
        shares.append((usage.ru_utime + usage.ru_stime) / wall * 100)
        log(f"cpu {i + 1}: {shares[-1]:.3f} % of one core, load {runner.loads[-1]}")
    share = statistics.median(shares)
    return [Row("4. Processor while waiting: whole process at 30 Hz, start-up included",
                "< 1 % of one core", f"{share:.3f} %", share < 1,
                f"ORVEL_EMULATION=modelled.json /usr/bin/time build-perf/bin/tarnwell "
                f"{' '.join(arguments)}")]


# ---- start-up ------------------------------------------------------------------------------

def startup_figures(runner):
    rows = []
    env = runner.environment(None)
    if shutil.which("hyperfine"):
        # Several batches: a batch that meets a busy spell of the machine shows in its median.
        medians, processor = [], []
        for i in range(runner.repeat):
            report = runner.out / f"hyperfine-{i}.json"
            runner.loads.append(float(load()))
            subprocess.run(["hyperfine", "-N", "--warmup", "10", "--runs", "50",
                            "--export-json", str(report), f"{runner.binary} --list"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
            result = json.loads(report.read_text())["results"][0]
            medians.append(result["median"])
            processor.append(result["user"] + result["system"])
            log(f"start-up {i + 1}: median {medians[-1] * 1e3:.2f} ms, processor "
                f"{processor[-1] * 1e3:.2f} ms, load {runner.loads[-1]}")
        wall = statistics.median(medians)
        measured = f"{wall * 1e3:.2f} ms (batch medians {min(medians) * 1e3:.2f}–" \
                   f"{max(medians) * 1e3:.2f} ms; processor time " \
                   f"{statistics.median(processor) * 1e3:.2f} ms)"
        how = "hyperfine -N --warmup 10 --runs 50 'build-perf/bin/tarnwell --list'"
    else:
        times = [runner.run(["--list"])[1] for _ in range(runner.repeat * 50)]
        wall = statistics.median(times)
        measured = f"{wall * 1e3:.2f} ms"
        how = "repeated runs of build-perf/bin/tarnwell --list (hyperfine not installed)"
    rows.append(Row("5. Start-up: `tarnwell --list`, wall time", "< 5 ms", measured,
                    wall < 5e-3, how))
    # GNU time's own small process forks the program: a peak taken from a fork of this Python
    # process would carry its memory, which survives the exec.
    peaks = []
    for _ in range(runner.repeat):
        done = subprocess.run(["/usr/bin/time", "-f", "%M", str(runner.binary), "--list"],
                              check=True, capture_output=True, text=True, env=env)
        peaks.append(int(done.stderr.split()[-1]))
    peak = statistics.median(peaks) / 1024
    rows.append(Row("5. Start-up: `tarnwell --list`, peak memory", "< 10 MiB", f"{peak:.2f} MiB",
                    peak < 10, "/usr/bin/time -f %M build-perf/bin/tarnwell --list"))
    return rows


# ---- memory over a long run --------------------------------------------------------------

def resident_kib(pid):
    try:
        text = Path(f"/proc/{pid}/status").read_text()
    except FileNotFoundError:
        return None
    match = re.search(r"^VmRSS:\s+(\d+) kB", text, re.M)
    return int(match.group(1)) if match else None


def memory_figures(runner, seconds):
    scenario = runner.scenario("fast", FAST)
    rows = []
    samples = []
    arguments = ["--framerate", "20000", "--duration", str(seconds), "--binning", "4"]
    text, _, _ = runner.run(arguments, scenario,
                                sample=lambda pid: samples.append(resident_kib(pid)))
    samples = [s for s in samples if s is not None]
    grabbed, _ = summary_of(text)
    settled = samples[2:]  # past the start of acquisition
    growth = settled[-1] - settled[0]
    rows.append(Row(f"5. Memory over {seconds} s of frame rate at 20 kHz ({grabbed:,} results)",
                    "flat", f"resident {settled[0]:,} → {settled[-1]:,} KiB "
                    f"({growth:+,} KiB)", growth <= 64,
                    f"ORVEL_EMULATION=fast.json build-perf/bin/tarnwell {' '.join(arguments)}"))
    log(f"memory, frame rate: {samples}")

    samples = []
    arguments = ["--measurement-mode", "latency", "--duration", str(seconds), "--binning", "4"]
    text, _, _ = runner.run(arguments, scenario,
                                sample=lambda pid: samples.append(resident_kib(pid)))
    samples = [s for s in samples if s is not None]
    results = len(latency_stages(text)[0][1])
    growth = samples[-1] - samples[1]
    per_result = growth * 1024 / results
    rows.append(Row(f"5. Memory over {seconds} s of latency ({results:,} results)",
                    "one number (8 B) per result", f"{growth:+,} KiB: {per_result:.1f} B per result "
                    f"(a doubling vector: 8–16 B)", per_result <= 24,
                    f"ORVEL_EMULATION=fast.json build-perf/bin/tarnwell {' '.join(arguments)}"))
    log(f"memory, latency: {samples}")
    return rows


def markdown(rows):
    lines = ["| Goal | Target | Measured (median) | Met | Command |", "|---|---|---|---|---|"]
    for row in rows:
        lines.append(f"| {row.goal} | {row.target} | {row.measured} | "
                     f"{'yes' if row.met else '**no**'} | `{row.command}` |")
    return "\n".join(lines)


GROUPS = {
    "loop": "overhead of the measurement loops against a bare loop (Google Benchmark)",
    "throughput": "results per second and underruns with the camera at 20 kHz",
    "accuracy": "the printed rates against the camera's true rate at 2, 30 and 1000 Hz",
    "latency": "the printed latencies against the camera model's",
    "cpu": "processor time while waiting for a 30 Hz camera",
    "startup": "start-up time and peak memory of --list",
    "memory": "resident memory over a long frame-rate and latency run",
}


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="figure groups (all of them by default):\n" +
        "\n".join(f"  {name:<11} {text}" for name, text in GROUPS.items()))
    parser.add_argument("--build", default="build-perf", help="build directory")
    parser.add_argument("--repeat", type=int, default=5, help="runs per figure")
    parser.add_argument("--out", default=None, help="where reports go (default BUILD/perf)")
    parser.add_argument("--memory-seconds", type=int, default=60,
                        help="length of each run of the memory group")
    parser.add_argument("figures", nargs="*", metavar="GROUP",
                        help="figure groups to run, in this order (below)")
    options = parser.parse_args()
    unknown = [name for name in options.figures if name not in GROUPS]
    if unknown:
        parser.error(f"unknown figure group '{unknown[0]}' (choose from {', '.join(GROUPS)})")
    options.figures = options.figures or list(GROUPS)
    runner = Runner(options.build, options.repeat, options.out or Path(options.build) / "perf")
    figures = {"loop": loop_figures, "throughput": throughput_figures,
               "accuracy": accuracy_figures, "latency": latency_figures, "cpu": cpu_figures,
               "startup": startup_figures,
               "memory": lambda r: memory_figures(r, options.memory_seconds)}
    rows = []
    for figure in options.figures:
        rows += figures[figure](runner)
        # Kept as they come: a later figure that fails leaves the earlier ones.
        (runner.out / "figures-partial.md").write_text(markdown(rows) + "\n")
    table = markdown(rows)
    loads = runner.loads
    footer = (f"\nLoad average (1 min) when the runs started: median {statistics.median(loads):.2f},"
              f" range {min(loads):.2f}–{max(loads):.2f}, on {os.cpu_count()} cores.")
    (runner.out / "figures.md").write_text(table + "\n" + footer + "\n")
    print(table + "\n" + footer)
    shutil.rmtree(runner.scenarios, ignore_errors=True)
    return 0 if all(row.met for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())

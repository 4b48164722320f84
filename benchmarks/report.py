"""Every benchmark in one run, written as one Markdown report with charts.

    tools/dev bench                 the full run (about 4 minutes): docs/benchmarks/
    tools/dev bench --quick         fewer rounds, 1/8-size images, fewer requests (under a
                                    minute): build/bench-report/
    tools/dev bench [--quick] [--output DIR] [--redraw]

Runs benchmarks/disk.py, firecracker_request.py and qmp.py one after the other, each in a
process of its own and with its own text table on the terminal, collects the figures they write
with --json, and writes into DIR:
- report.md: the machine (absolute figures only hold for it), the headline ratios, and every
  table: the module beside the C reference and the peers, the ratios taken within one round,
  allocated sizes, peak memory, and speed beside a spinning Python thread;
- disk-throughput.png, request-time.png and beside-python-thread.png, drawn with matplotlib;
- figures.json: everything the report is drawn from; --redraw writes the report and the charts
  again from it without measuring (after a change to their layout).
The quick run's images are small enough to stay in the page cache and its rounds few, so its
figures are a first look; the report kept in the repository comes from a full run.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCHMARKS = ROOT / "benchmarks"

# name, arguments of the full run, arguments of the quick run
RUNS = [
    ("disk", [], ["--rounds", "3", "--scale", "8"]),
    ("firecracker_request", [], ["--rounds", "3", "--requests", "500"]),
    ("qmp", [], ["--rounds", "3", "--commands", "500", "--connects", "100"]),
]

# How each role is drawn: this module, the near-limit C reference, a peer, a limit that does
# less work than the others (decoding without writing).
STYLE = {
    "native": {"color": "#1f5fa8", "label": "brindle_core._ffi"},
    "reference": {"color": "#e69f00", "hatch": "//", "label": "C reference (near the limit)"},
    "peer": {"color": "#a9a9a9", "label": "other tools and libraries"},
    "limit": {"color": "white", "hatch": "..", "label": "decoding only, nothing written"},
}


def output(command: list[str]) -> str:
    """What a program prints (some print their version on standard error)."""
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return ""
    return (result.stdout or result.stderr).strip()


def version(command: list[str]) -> str:
    found = re.search(r"\d+\.\d+(\.\d+)?", output(command))
    return found.group() if found else "not found"


def machine() -> dict:
    """What the absolute figures depend on."""
    with open("/proc/cpuinfo") as f:
        models = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
    with open("/proc/meminfo") as f:
        memory_kib = int(next(line for line in f if line.startswith("MemTotal")).split()[1])
    bench = ROOT / "build" / "bench"
    bench.mkdir(parents=True, exist_ok=True)
    file_system = output(["findmnt", "-n", "-o", "FSTYPE", "-T", str(bench)]) or "?"
    with open("/etc/os-release") as f:
        release = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    return {
        "cpu": models[0] if models else platform.processor(),
        "cores": os.cpu_count(),
        "memory_gib": memory_kib / 2**20,
        "kernel": f"{platform.system()} {platform.release()} {platform.machine()}",
        "file_system": f"{file_system} (where the images are: build/bench)",
        "system": release.get("PRETTY_NAME", "?").strip('"'),
        "python": platform.python_version(),
        "tools": {
            "QEMU": version(["qemu-system-x86_64", "--version"]),
            "nginx": version(["nginx", "-v"]),
            "zstd": version(["zstd", "--version"]),
            "coreutils (cp)": version(["cp", "--version"]),
            "cc (gcc)": version(["cc", "-dumpfullversion"]),
        },
    }


def measure(quick: bool) -> dict:
    started = time.monotonic()
    figures = {
        "quick": quick,
        "date": datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": machine(),
        "load_at_start": os.getloadavg()[0],
    }
    with tempfile.TemporaryDirectory() as directory:
        for name, full, quick_arguments in RUNS:
            print(f"\n== benchmarks/{name}.py", flush=True)
            output = Path(directory) / f"{name}.json"
            arguments = quick_arguments if quick else full
            subprocess.run([sys.executable, str(BENCHMARKS / f"{name}.py"), *arguments,
                            "--json", str(output)], check=True)
            figures[name] = json.loads(output.read_text())
            figures[name]["arguments"] = arguments
    figures["load_at_end"] = os.getloadavg()[0]
    figures["seconds"] = time.monotonic() - started
    return figures


# --- the charts ------------------------------------------------------------------------------


def bar_panel(axes, rows: list[dict], value: str, note, title: str, xlabel: str,
              baseline: dict | None) -> None:
    """Horizontal bars, one per tool, each labelled with its figure and its ratio; a dashed line
    marks the baseline of the ratios."""
    labels = [row["label"] for row in rows][::-1]
    values = [row[value] for row in rows][::-1]
    for position, row in enumerate(rows[::-1]):
        style = STYLE[row["role"]]
        axes.barh(position, row[value], color=style["color"], hatch=style.get("hatch"),
                  edgecolor="#333333", linewidth=0.6)
    axes.set_yticks(range(len(rows)), labels)
    axes.set_title(title, loc="left", fontsize=10.5, fontweight="bold")
    axes.set_xlabel(xlabel)
    axes.set_xlim(0, max(values) * 1.45)
    axes.grid(axis="x", color="#dddddd", linewidth=0.6)
    axes.set_axisbelow(True)
    for position, row in enumerate(rows[::-1]):
        axes.annotate(note(row), (row[value], position), xytext=(4, 0),
                      textcoords="offset points", va="center", fontsize=8.5,
                      bbox={"facecolor": "white", "edgecolor": "none", "pad": 0.5})
    if baseline is not None:
        axes.axvline(baseline[value], color="#444444", linestyle="--", linewidth=0.9)


def legend(figure, roles: list[str], extra: list = (), labels: dict | None = None) -> None:
    from matplotlib.patches import Patch

    labels = {role: STYLE[role]["label"] for role in roles} | (labels or {})
    handles = [Patch(facecolor=STYLE[role]["color"], hatch=STYLE[role].get("hatch"),
                     edgecolor="#333333", label=labels[role]) for role in roles]
    figure.legend(handles=[*handles, *extra], loc="lower center", ncol=len(handles) + len(extra),
                  frameon=False, fontsize=9)


def draw_charts(figures: dict, output: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    plt.rcParams.update({"font.size": 9.5, "axes.spines.top": False, "axes.spines.right": False})
    subtitle = machine_line(figures)
    if figures["quick"]:
        subtitle = "quick run (1/8-size images, few rounds): " + subtitle

    disk = figures["disk"]
    figure, panels = plt.subplots(len(disk["groups"]), 1, figsize=(10, 8.2))
    for axes, group in zip(panels, disk["groups"]):
        rows = group["rows"]
        baseline = next(row for row in rows if row["key"] == group["baseline"])
        base_name = baseline["label"].split()[0]
        bar_panel(axes, rows, "gb_per_s",
                  lambda row: f"{row['gb_per_s']:.2f} GB/s, {times(row['speed_vs_baseline'])}"
                  f" {base_name}", group["title"],
                  "GB/s of the image's apparent size (higher is faster)", baseline)
    figure.suptitle("Disk images: throughput of each tool (medians of "
                    f"{disk['rounds']} rounds; ratios taken within each round)", fontsize=12)
    figure.text(0.5, 0.935, subtitle, ha="center", fontsize=8.5, color="#555555")
    legend(figure, ["native", "peer", "limit"],
           [Line2D([], [], color="#444444", linestyle="--",
                   label="baseline of the ratios (cp, zstd --sparse)")])
    figure.tight_layout(rect=(0, 0.04, 1, 0.93))
    figure.savefig(output / "disk-throughput.png", dpi=110)
    plt.close(figure)

    http, qmp = figures["firecracker_request"], figures["qmp"]
    figure, panels = plt.subplots(3, 1, figsize=(10, 7.6))
    panels_data = [
        (http["rows"], "us", "vs_c",
         f"HTTP/1.1 over a Unix socket: GET / from nginx, one connection per request "
         f"({http['requests']} a round)", "µs per request (lower is faster)"),
        (qmp["rows"], "command_us", "command_vs_c",
         f"QMP: query-status on one open connection to QEMU ({qmp['commands']} a round)",
         "µs per command (lower is faster)"),
        (qmp["rows"], "connect_us", "connect_vs_c",
         f"QMP: connect, greeting, capabilities, close ({qmp['connects']} a round)",
         "µs per connection (lower is faster)"),
    ]
    for axes, (rows, value, ratio, title, xlabel) in zip(panels, panels_data):
        reference = next(row for row in rows if row["role"] == "reference")
        bar_panel(axes, rows, value,
                  lambda row, value=value, ratio=ratio: f"{row[value]:.0f} µs, "
                  f"{times(row[ratio])} C", title, xlabel, reference)
    figure.suptitle(f"Time per operation (medians of {http['rounds']} rounds; "
                    "ratios to the C reference taken within each round)", fontsize=12)
    figure.text(0.5, 0.935, subtitle, ha="center", fontsize=8.5, color="#555555")
    legend(figure, ["native", "reference", "peer"],
           [Line2D([], [], color="#444444", linestyle="--", label="the C reference's time")])
    figure.tight_layout(rect=(0, 0.04, 1, 0.93))
    figure.savefig(output / "request-time.png", dpi=110)
    plt.close(figure)

    entries = disk["beside_spinner"]
    figure, axes = plt.subplots(figsize=(10, 3.4))
    rows = [{"label": entry["text"].removeprefix("reference: "), "value": entry["value"],
             "role": "native" if entry["aim"] is not None else "peer"} for entry in entries]
    bar_panel(axes, rows, "value", lambda row: times(row["value"]),
              "Speed beside a CPU-bound Python thread, relative to the same work alone",
              "speed beside the spinning thread ÷ speed alone (1.0: undisturbed)", None)
    axes.set_xlim(0, max(1.25, max(row["value"] for row in rows) * 1.2))
    axes.axvline(1.0, color="#444444", linestyle="--", linewidth=0.9)
    figure.text(0.5, 0.01, subtitle, ha="center", fontsize=8.5, color="#555555")
    aim = next(entry["aim"] for entry in entries if entry["aim"] is not None)
    axes.axvline(aim, color="#1f5fa8", linestyle=":", linewidth=1.2)
    aim_line = Line2D([], [], color="#1f5fa8", linestyle=":",
                      label=f"aim of the native calls: {aim}×")
    legend(figure, ["native", "peer"], [aim_line],
           {"peer": "the same work in a child process (no interpreter lock)"})
    figure.legends[0].set_bbox_to_anchor((0.5, 0.06))
    figure.tight_layout(rect=(0, 0.12, 1, 1))
    figure.savefig(output / "beside-python-thread.png", dpi=110)
    plt.close(figure)


# --- the Markdown report -----------------------------------------------------------------------


def machine_line(figures: dict) -> str:
    m = figures["machine"]
    return (f"{m['cpu']}, {m['cores']} cores, {m['kernel'].split()[1]}, "
            f"{m['file_system'].split()[0]}; {figures['date']}")


def times(ratio: float) -> str:
    """A ratio with two decimals, or two significant digits when it is below 0.1."""
    return f"{ratio:.2f}×" if ratio >= 0.1 else f"{ratio:.2g}×"


def table(header: list[str], rows: list[list[str]], numbers: bool = True) -> str:
    """A Markdown table; the columns after the first are right-aligned when they hold numbers."""
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---:" if i and numbers else "---" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def duration(seconds: float) -> str:
    minutes, seconds = divmod(round(seconds), 60)
    return f"{minutes} min {seconds:02d} s" if minutes else f"{seconds} s"


def markdown(figures: dict) -> str:
    m, disk = figures["machine"], figures["disk"]
    http, qmp = figures["firecracker_request"], figures["qmp"]
    rows = {row["key"]: row for group in disk["groups"] for row in group["rows"]}
    http_rows = {row["role"]: row for row in http["rows"]}
    qmp_rows = {row["label"]: row for row in qmp["rows"]}
    native_qmp = qmp_rows["native _QmpClient"]
    beside = disk["beside_spinner"]
    ratios = {entry["text"]: entry["value"] for entry in disk["ratios"]}
    kind = ("a quick run (`tools/dev bench --quick`: 1/8-size images, few rounds: a first look)"
            if figures["quick"] else "a full run (`tools/dev bench`)")
    out = [
        "# Benchmark report",
        "",
        f"Written by {kind} on {figures['date']}; it took {duration(figures['seconds'])}. "
        "Every figure is a median over rounds. Within a round every tool is measured right "
        "after the others, so a ratio taken within one round compares tools under the same load; "
        "the ratios shown are the medians of those per-round ratios (they can differ from the "
        "ratio of two medians when the load changed between rounds). Read the ratios first: "
        "absolute figures only hold for the machine below, and it is shared with other work, so "
        "they swing from run to run.",
        "",
        "## The machine",
        "",
        table(["", ""], [
            ["CPU", m["cpu"]],
            ["cores", f"{m['cores']} (shared with other work: load average "
                      f"{figures['load_at_start']:.2f} at the start, "
                      f"{figures['load_at_end']:.2f} at the end)"],
            ["memory", f"{m['memory_gib']:.0f} GiB"],
            ["kernel", m["kernel"]],
            ["file system", m["file_system"]],
            ["toolchain", f"{m['system']}, Python {m['python']}"],
            ["versions", ", ".join(f"{name} {number}" for name, number in m["tools"].items())],
        ], numbers=False),
        "",
        "## Headline",
        "",
        f"- Sparse copy of a fully written mixed image: {rows['copy_a']['gb_per_s']:.2f} GB/s, "
        f"{times(rows['copy_a']['speed_vs_baseline'])} the speed of `cp --sparse=always` and "
        f"{times(ratios['copy (a) vs shutil.copyfile'])} `shutil.copyfile`; "
        f"{rows['copy_a']['allocated_mib']:.0f} MiB of the {disk['images']['mixed_mib']:.0f} MiB "
        "image allocated "
        f"(`cp`: {rows['cp_a']['allocated_mib']:.0f} MiB).",
        f"- Sparse copy of a sparse image: {times(rows['copy_b']['speed_vs_baseline'])} "
        f"the speed of `cp --sparse=always`.",
        f"- zstd decompression into a sparse file: {rows['unzstd']['gb_per_s']:.2f} GB/s, "
        f"{times(rows['unzstd']['speed_vs_baseline'])} `zstd -d --sparse`.",
        f"- Firecracker API request: {http_rows['native']['us']:.0f} µs, "
        f"{times(http_rows['native']['vs_c'])} the time of the C client "
        f"({http_rows['reference']['us']:.0f} µs).",
        f"- QMP command: {native_qmp['command_us']:.0f} µs, {times(native_qmp['command_vs_c'])} "
        f"the C client; connect with negotiation: {native_qmp['connect_us']:.0f} µs, "
        f"{times(native_qmp['connect_vs_c'])} the C client.",
        f"- Beside a CPU-bound Python thread the native copy keeps "
        f"{times(beside[0]['value'])} of its speed alone and the decompression "
        f"{times(beside[1]['value'])}, where `cp` and `zstd` in a child process, which share no "
        f"interpreter lock, keep {times(beside[2]['value'])} and {times(beside[3]['value'])}.",
        "",
        "## Disk images",
        "",
        "![Throughput of each tool on the disk images](disk-throughput.png)",
        "",
        "Warm page cache: every source is read once before measuring. Each measurement runs in "
        "a process of its own. GB/s are of the apparent (uncompressed) size; CPU time is user "
        "plus system, which the load of other processes disturbs far less than wall time; peak "
        f"is the process's peak resident memory (the interpreter alone: "
        f"{disk['idle_peak_mib']:.1f} MiB).",
    ]
    for group in disk["groups"]:
        base = rows[group["baseline"]]["label"]
        out += ["", f"### {group['title']}", "", table(
            ["tool", "wall s", "GB/s", f"speed × `{base}`", "CPU s", "allocated", "peak memory"],
            [[f"`{row['label']}`" if row["role"] != "native" else f"**{row['label']}**",
              f"{row['seconds']:.3f}", f"{row['gb_per_s']:.2f}",
              times(row['speed_vs_baseline']) + (" (1 round)" if row["rounds"] == 1 else ""),
              f"{row['cpu']:.3f}",
              "—" if row["allocated_mib"] is None else f"{row['allocated_mib']:.0f} MiB",
              f"{row['peak_mib']:.1f} MiB" + (" at most*" if row["peak_at_most"] else "")]
             for row in group["rows"]])]
    out += [
        "",
        "\\* An outside tool's peak cannot be read below that of the process that started it.",
        "",
        "### Speed ratios and their aims",
        "",
        table(["ratio of speeds (median of the per-round ratios)", "value", "aim"],
              [[entry["text"], times(entry['value']), aim_text(entry)]
               for entry in disk["ratios"]]),
        "",
        "## Beside a spinning Python thread",
        "",
        "![Speed beside a CPU-bound Python thread](beside-python-thread.png)",
        "",
        "Each call again while another thread of the same interpreter spins in pure Python. A "
        "call that held the interpreter lock would get a small share of it; one that releases "
        "the lock for its whole duration keeps its speed, as the same work in a child process "
        "does. What remains is the scheduler sharing two cores with the spinning thread.",
        "",
        table(["work", "speed beside ÷ alone", "aim", "calling thread's CPU per wall second"],
              [[entry["text"], times(entry['value']), aim_text(entry),
                f"{entry['cpu_alone']:.0%} alone, {entry['cpu_beside']:.0%} beside it"
                if "cpu_alone" in entry else "—"] for entry in disk["beside_spinner"]]),
        "",
        "## Firecracker API requests and QMP",
        "",
        "![Time per operation of each client](request-time.png)",
        "",
        f"HTTP/1.1 over a Unix socket, one connection per request, against nginx answering "
        f"GET / with a small JSON body; {http['requests']} sequential requests a round, "
        f"{http['rounds']} rounds.",
        "",
        table(["client", "µs per request", "time × C"],
              [[label_cell(row), f"{row['us']:.1f}", times(row['vs_c'])]
               for row in http["rows"]]),
        "",
        f"QMP against QEMU (`-M none`): {qmp['commands']} `query-status` commands on one "
        f"connection, and {qmp['connects']} connections (connect, greeting, "
        f"`qmp_capabilities`, close), a round; {qmp['rounds']} rounds. QEMU's own answer is "
        "most of each command's time, so every client that does not add much lands near the "
        "C client.",
        "",
        table(["client", "µs per command", "time × C", "µs per connection", "time × C"],
              [[label_cell(row), f"{row['command_us']:.0f}", times(row['command_vs_c']),
                f"{row['connect_us']:.0f}", times(row['connect_vs_c'])]
               for row in qmp["rows"]]),
        "",
        f"Slowest native connection: {qmp['native_connect_slowest_ms']:.2f} ms of "
        f"{qmp['native_connects']}; {qmp['native_connects_50ms_or_more']} took 50 ms or more.",
        "",
        "## Running it",
        "",
        "    tools/dev bench            # this report, written to docs/benchmarks/",
        "    tools/dev bench --quick    # under a minute, written to build/bench-report/",
        "    tools/dev bench NAME       # one of benchmarks/NAME.py, its text table only",
        "",
        "Arguments of this run: " + "; ".join(
            f"`{name}.py {' '.join(figures[name]['arguments']) or '(defaults)'}`"
            for name, _, _ in RUNS) + ".",
        "",
    ]
    return "\n".join(out)


def label_cell(row: dict) -> str:
    if row["role"] == "native":
        return f"**{row['label']}**"
    return row["label"] + (" (reference)" if row["role"] == "reference" else "")


def aim_text(entry: dict) -> str:
    if entry["aim"] is None:
        return ""
    return f"≥ {entry['aim']}×: {'met' if entry['value'] >= entry['aim'] else 'missed'}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="under a minute, a first look")
    parser.add_argument("--output", type=Path, help="the report's folder")
    parser.add_argument("--redraw", action="store_true",
                        help="write the report and the charts again from DIR/figures.json")
    options = parser.parse_args()
    default = ROOT / ("build/bench-report" if options.quick else "docs/benchmarks")
    output = (options.output or default).resolve()
    for program in ("cc", "cp", "zstd", "nginx", "qemu-system-x86_64"):
        if shutil.which(program) is None:
            raise SystemExit(f"report: {program} is needed on PATH")
    if options.redraw:
        figures = json.loads((output / "figures.json").read_text())
    else:
        figures = measure(options.quick)
        output.mkdir(parents=True, exist_ok=True)
        (output / "figures.json").write_text(json.dumps(figures, indent=1) + "\n")
    draw_charts(figures, output)
    (output / "report.md").write_text(markdown(figures))
    print(f"\nreport: {output / 'report.md'} and its charts, after "
          f"{duration(figures['seconds'])} of measuring")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Turns the session's raw measurements into the results table.

Usage: summarize.py RAW_DIR RESULTS_FILE

Every command's samples are pooled over all rounds; the table shows their
median and interquartile range, and ratios of medians taken in the same
session. The goals are checked at the end.
"""

import glob
import json
import os
import statistics
import sys

COMMANDS = [
    ("fresh", "nestbox, fresh: extract, run, erase"),
    ("reuse", "nestbox, reuse: beside a running one"),
    ("untar", "nestbox, extract only (NESTBOX_UNTAR)"),
    ("reference", "reference: copy_file_range, run, erase"),
    ("tar", "tar -xf + run + rm -rf"),
    ("targz", "tar -xzf + run + rm -rf"),
    ("direct", "entry run directly (the floor)"),
    ("wrapper", "entry under fork + exec + wait (a launcher's floor)"),
]
PLACE_NAMES = {"disk": "disk (/tmp's)", "tmpfs": "tmpfs"}
MIB = 1024 * 1024


def read_key_values(path):
    values = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                key, _, value = line.rstrip("\n").partition("=")
                values[key] = value
    return values


def load_samples(raw):
    samples = {}
    for path in glob.glob(os.path.join(raw, "*.json")):
        _, place, workload, _, _ = os.path.basename(path).rsplit(".", 4)
        with open(path) as f:
            for result in json.load(f)["results"]:
                key = (workload, place, result["command"])
                samples.setdefault(key, []).extend(result["times"])
    return samples


def summary(times):
    iqr = 0.0
    if len(times) > 1:
        q = statistics.quantiles(times, n=4, method="inclusive")
        iqr = q[2] - q[0]
    return {"median": statistics.median(times), "iqr": iqr, "n": len(times)}


def size(count):
    return f"{count / 1e6:.1f} MB" if count >= 1e6 else f"{count / 1e3:.0f} kB"


def ms(seconds):
    return f"{seconds * 1000:.1f}" if seconds >= 0.01 else f"{seconds * 1000:.2f}"


def main():
    raw, results_path = sys.argv[1], sys.argv[2]
    machine = read_key_values(os.path.join(raw, "machine.txt"))
    samples = load_samples(raw)
    stats = {key: summary(times) for key, times in samples.items()}
    workloads, places = [], []
    with open(os.path.join(raw, "workloads.txt")) as f:
        sizes = {}
        for line in f:
            name, tree, files, deliverable, gz = line.split()
            workloads.append(name)
            sizes[name] = (int(tree), int(files), int(deliverable), int(gz))
    for _, place, _ in stats:
        if place not in places:
            places.append(place)
    places.sort(key=lambda p: list(PLACE_NAMES).index(p) if p in PLACE_NAMES else 99)

    def median(workload, place, command):
        entry = stats.get((workload, place, command))
        return entry["median"] if entry else None

    out = []
    out.append("## Machine\n")
    out.append(f"- {machine.get('nproc', '?')} cores, {machine.get('cpu', '?')}, "
               f"{machine.get('memory', '?')} RAM; kernel {machine.get('kernel', '?')}, "
               f"{machine.get('os', '?')}")
    for line in open(os.path.join(raw, "places.txt")):
        fields = dict(item.split("=", 1) for item in line.split())
        out.append(f"- {PLACE_NAMES.get(fields['place'], fields['place'])}: "
                   f"{fields['fs']} on {fields['source'].split('[')[0]}")
    out.append(f"- hyperfine {machine.get('hyperfine', '?')}; {machine.get('rounds')} "
               f"interleaved rounds of {machine.get('runs')} timed runs per command "
               f"(after one warm-up run each); page cache warm")
    out.append(f"- load average before {machine.get('load_before', '?')}, "
               f"after {machine.get('load_after', '?')}; revision "
               f"{machine.get('revision', '?')}, {machine.get('date', '?')}")
    out.append("")
    out.append("## Times\n")
    out.append("Median in milliseconds, interquartile range in brackets; ratios "
               "are of medians from the same session.\n")
    for workload in workloads:
        tree, files, deliverable, gz = sizes[workload]
        out.append(f"### {workload}: {size(tree)} in {files} files "
                   f"(deliverable {size(deliverable)}, tar.gz {size(gz)})\n")
        header = "| command |"
        rule = "|---|"
        for place in places:
            name = PLACE_NAMES.get(place, place)
            header += f" {name}: ms | × reference | × tar -xf |"
            rule += "---:|---:|---:|"
        out.append(header)
        out.append(rule)
        for command, label in COMMANDS:
            row = f"| {label} |"
            present = False
            for place in places:
                entry = stats.get((workload, place, command))
                if entry is None:
                    row += " | | |"
                    continue
                present = True
                ref = median(workload, place, "reference")
                tar = median(workload, place, "tar")
                row += f" {ms(entry['median'])} [{ms(entry['iqr'])}] |"
                row += f" {entry['median'] / ref:.2f} |" if ref else " |"
                row += f" {entry['median'] / tar:.2f} |" if tar else " |"
            if present:
                out.append(row)
        out.append("")

    write_rows = [("256k", "256 KiB"), ("1m", "1 MiB"), ("4m", "4 MiB"),
                  ("whole", "whole file")]
    if any(command.startswith("write-") for _, _, command in stats):
        out.append("## Write size\n")
        out.append("The W40 deliverable's bytes (42 MB) copied into one file out of "
                   "a read-only mapping of it, one write per piece, as the launcher "
                   "copies out of its image; \"mapped ahead\" first maps the source "
                   "pages of each piece (madvise MADV_POPULATE_READ). Median ms "
                   "[interquartile range].\n")
        header, rule = "| write size |", "|---|"
        for place in places:
            name = PLACE_NAMES.get(place, place)
            header += f" {name}: as is | {name}: mapped ahead |"
            rule += "---:|---:|"
        out.append(header)
        out.append(rule)
        for key, label in write_rows:
            row = f"| {label} |"
            for place in places:
                for mode in ("plain", "mapped"):
                    entry = stats.get(("W40", place, f"write-{key}-{mode}"))
                    row += f" {ms(entry['median'])} [{ms(entry['iqr'])}] |" if entry else " |"
            out.append(row)
        out.append("")

    memory = {}
    memory_path = os.path.join(raw, "memory.txt")
    if os.path.exists(memory_path):
        for line in open(memory_path):
            name, anon, file_, rss, hwm = line.split()
            memory[name] = tuple(int(v) for v in (anon, file_, rss, hwm))
        out.append("## Launcher memory while its child runs\n")
        out.append("| workload | RssAnon KiB | RssFile KiB | VmRSS KiB | VmHWM KiB |")
        out.append("|---|---:|---:|---:|---:|")
        for workload in workloads:
            if workload in memory:
                out.append(f"| {workload} | " + " | ".join(str(v) for v in memory[workload]) + " |")
        out.append("")

    goals = []

    def ratio_goal(text, workload, place, command, versus, limit):
        a, b = median(workload, place, command), median(workload, place, versus)
        if a is None or b is None:
            return
        value = a / b
        goals.append((f"{text}, {PLACE_NAMES.get(place, place)}", f"{value:.3f}",
                      f"≤ {limit:.2f}", value <= limit))

    for place in places:
        ratio_goal("W40 fresh ÷ reference", "W40", place, "fresh", "reference", 1.15)
    for place in places:
        ratio_goal("W40 fresh ÷ tar -xf", "W40", place, "fresh", "tar", 0.45)
    for place in places:
        ratio_goal("W10k fresh ÷ tar -xf", "W10k", place, "fresh", "tar", 1.0)
    for workload in workloads:
        for place in places:
            ratio_goal(f"{workload} reuse ÷ direct", workload, place, "reuse", "direct", 2.0)
    if "W40" in memory and "Wtiny" in memory:
        big, tiny = memory["W40"][0], memory["Wtiny"][0]
        goals.append(("RssAnon, W40 and Wtiny", f"{big} and {tiny} KiB",
                      "both < 4096 KiB", big < 4096 and tiny < 4096))
        goals.append(("RssAnon, W40 − Wtiny", f"{big - tiny} KiB", "≤ 1024 KiB",
                      abs(big - tiny) <= 1024))
    out.append("## Goals\n")
    out.append("| goal | measured | target | met |")
    out.append("|---|---:|---:|:---:|")
    for text, value, target, met in goals:
        out.append(f"| {text} | {value} | {target} | {'yes' if met else '**no**'} |")
    out.append("")
    # Not a goal: what starting the entry as a child costs any launcher.
    context = []
    for place in places:
        a, b = median("W40", place, "wrapper"), median("W40", place, "direct")
        if a is not None and b is not None:
            context.append(f"{a / b:.3f} on {PLACE_NAMES.get(place, place)}")
    if context:
        out.append("For comparison, fork + exec + wait around the W40 entry ÷ the entry "
                   "run directly: " + ", ".join(context) + ".")
        out.append("")

    text = "\n".join(out)
    with open(results_path, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()

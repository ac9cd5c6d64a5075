#!/usr/bin/python3
"""Alternating timer and report writer for the launcher's benchmarks (standard library only).

Every figure is a ratio of commands timed in the same rounds: each round runs every command
once (several runs each with --batch), in an order that rotates from round to round, so
that drift of a shared machine falls on all sides alike. The value of a figure is the
median of its per-round ratios; the spread is their minimum and maximum.

  measure.py time --raw RAW --id ID --title T --baseline B --goal '<=1.05'
                  --cmd LABEL 'NAME=VALUE... PROGRAM ARG...' [--prepare LABEL 'SHELL TEXT']
                  --ratio 'LABEL/LABEL' [--also 'LABEL/LABEL'] [--rounds 5] [--warmup 1]
                  [--batch 1]
  measure.py record --raw RAW --id ID --title T --baseline B --goal '==1' --value V
                  [--unit U] [--min X --max Y --pairs N] [--detail TEXT]
  measure.py report --raw RAW --out results.md [--heading TEXT]

A command is split like a shell word list; leading NAME=VALUE words set its environment
on top of the benchmark's own, and it is started directly with posix_spawn, without a
shell in between. A prepare text runs through /bin/sh before each timed run of its
command and is not timed. A ratio's sides are sums of labels with signs, as in
'curl_get-curl_head/first-warm-unpack'; --also adds further ratios of the same rounds to
the figure's notes. Next to the wall-time ratio the same ratio of the commands' CPU time
(user and system, children included) is kept: on a loaded machine it drifts less. Each
figure becomes one JSON line in RAW.
"""

import argparse
import json
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time

GOAL = re.compile(r"^\s*(<=|>=|==)\s*([0-9.eE+-]+)\s*$")
TERM = re.compile(r"([+-]?)\s*([A-Za-z_][A-Za-z0-9_]*)")


class Command:
    def __init__(self, label, text, log_fd):
        words = shlex.split(text)
        self.label = label
        self.text = text
        self.env = dict(os.environ)
        while words and re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", words[0]):
            name, value = words.pop(0).split("=", 1)
            self.env[name] = value
        if not words:
            raise SystemExit("measure.py: command %r names no program" % label)
        program = words[0] if "/" in words[0] else shutil.which(words[0], path=self.env.get("PATH"))
        if program is None:
            raise SystemExit("measure.py: %s: no program %r" % (label, words[0]))
        self.program = program
        self.argv = words
        self.prepare = None
        self.log_fd = log_fd

    def run_once(self):
        """Wall seconds and child CPU seconds of one run; a failed run ends the benchmark."""
        if self.prepare is not None:
            subprocess.run(["/bin/sh", "-c", self.prepare], check=True, stdin=subprocess.DEVNULL)
        actions = [
            (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
            (os.POSIX_SPAWN_DUP2, self.log_fd, 1),
            (os.POSIX_SPAWN_DUP2, self.log_fd, 2),
        ]
        start = time.perf_counter_ns()
        pid = os.posix_spawn(self.program, self.argv, self.env, file_actions=actions)
        _, status, usage = os.wait4(pid, 0)
        wall = (time.perf_counter_ns() - start) / 1e9
        code = os.waitstatus_to_exitcode(status)
        if code != 0:
            raise SystemExit("measure.py: %s exited with %d: %s" % (self.label, code, self.text))
        return wall, usage.ru_utime + usage.ru_stime


def parse_side(text, labels):
    terms = []
    position = 0
    text = text.strip()
    for match in TERM.finditer(text):
        if text[position:match.start()].strip():
            raise SystemExit("measure.py: cannot read ratio side %r" % text)
        sign, label = match.groups()
        if label not in labels:
            raise SystemExit("measure.py: ratio names unknown command %r" % label)
        terms.append((-1.0 if sign == "-" else 1.0, label))
        position = match.end()
    if not terms or text[position:].strip():
        raise SystemExit("measure.py: cannot read ratio side %r" % text)
    return terms


def side_value(terms, times):
    return sum(sign * times[label] for sign, label in terms)


def parse_ratio(text, labels):
    numerator_text, slash, denominator_text = text.partition("/")
    if not slash:
        raise SystemExit("measure.py: ratio %r has no '/'" % text)
    return parse_side(numerator_text, labels), parse_side(denominator_text, labels)


def ratio_of(ratio, times):
    numerator, denominator = ratio
    below = side_value(denominator, times)
    return side_value(numerator, times) / below if below > 0 else float("nan")


def summary(values):
    finite = [value for value in values if value == value]
    if not finite:
        return {"median": float("nan"), "min": float("nan"), "max": float("nan")}
    return {"median": statistics.median(finite), "min": min(finite), "max": max(finite)}


def goal_met(goal, value):
    match = GOAL.match(goal)
    if match is None:
        raise SystemExit("measure.py: goal %r is not of the form <=X, >=X or ==X" % goal)
    operator, bound = match.group(1), float(match.group(2))
    if operator == "<=":
        return value <= bound
    if operator == ">=":
        return value >= bound
    return value == bound


def command_time(args):
    log = open(args.log, "ab") if args.log else open(os.devnull, "wb")
    commands = {}
    for label, text in args.cmd:
        commands[label] = Command(label, text, log.fileno())
    for label, text in args.prepare or []:
        if label not in commands:
            raise SystemExit("measure.py: prepare for unknown command %r" % label)
        commands[label].prepare = text
    ratio = parse_ratio(args.ratio, commands)
    also = [(text, parse_ratio(text, commands)) for text in args.also or []]
    goal_met(args.goal, 1.0)  # rejects a malformed goal before anything runs

    order = list(commands)
    rounds = []
    for number in range(args.warmup + args.rounds):
        shift = number % len(order)
        times = {}
        cpu = {}
        for label in order[shift:] + order[:shift]:
            samples = [commands[label].run_once() for _ in range(args.batch)]
            times[label] = sum(wall for wall, _ in samples) / args.batch
            cpu[label] = sum(used for _, used in samples) / args.batch
        if number < args.warmup:
            continue
        value = ratio_of(ratio, times)
        if value != value:
            raise SystemExit("measure.py: %s: the lower side of %s came out at or below zero" %
                             (args.id, args.ratio))
        rounds.append({"seconds": times, "cpu_seconds": cpu, "ratio": value,
                       "cpu_ratio": ratio_of(ratio, cpu),
                       "also": {text: ratio_of(parsed, times) for text, parsed in also}})
    ratios = [entry["ratio"] for entry in rounds]
    also_summary = {text: summary([entry["also"][text] for entry in rounds]) for text, _ in also}
    notes = [args.detail] if args.detail else []
    for text, values in also_summary.items():
        notes.append("`%s` %.3f (%.3f–%.3f)" % (text, values["median"], values["min"],
                                                 values["max"]))
    result = {
        "id": args.id,
        "title": args.title,
        "baseline": args.baseline,
        "goal": args.goal,
        "kind": "ratio",
        "ratio": args.ratio,
        "commands": {label: command.text for label, command in commands.items()},
        "prepare": {label: command.prepare for label, command in commands.items()
                    if command.prepare is not None},
        "batch": args.batch,
        "warmup": args.warmup,
        "rounds": rounds,
        "median_seconds": {label: statistics.median(r["seconds"][label] for r in rounds)
                           for label in commands},
        "value": statistics.median(ratios),
        "min": min(ratios),
        "max": max(ratios),
        "pairs": len(rounds),
        "cpu_value": summary([entry["cpu_ratio"] for entry in rounds])["median"],
        "also": also_summary,
        "detail": "; ".join(notes),
    }
    result["met"] = goal_met(args.goal, result["value"])
    append(args.raw, result)
    times_text = ", ".join("%s %.4f s" % (label, seconds)
                           for label, seconds in result["median_seconds"].items())
    for text, values in also_summary.items():
        times_text += "; %s %.3f" % (text, values["median"])
    print("%-22s %.3f (%.3f-%.3f) goal %s  [%s]" %
          (args.id, result["value"], result["min"], result["max"], args.goal, times_text))


def command_record(args):
    value = float(args.value)
    result = {
        "id": args.id,
        "title": args.title,
        "baseline": args.baseline,
        "goal": args.goal,
        "kind": "value",
        "value": value,
        "unit": args.unit or "",
        "detail": args.detail or "",
        "met": goal_met(args.goal, value),
    }
    if args.min is not None and args.max is not None:
        result.update({"min": float(args.min), "max": float(args.max), "pairs": args.pairs})
    if args.gap:
        result["gap"] = True
        result["met"] = None
    append(args.raw, result)
    print("%-22s %s %s goal %s %s" % (args.id, args.value, args.unit or "", args.goal,
                                      args.detail or ""))


def append(path, result):
    with open(path, "a") as raw:
        raw.write(json.dumps(result) + "\n")


def format_value(entry):
    if entry.get("gap"):
        return "—"
    value = entry["value"]
    if entry["kind"] == "ratio" or "min" in entry:
        return "%.3f" % value
    if value == int(value):
        text = "%d" % value
    else:
        text = "%.3f" % value
    return (text + " " + entry["unit"]).strip()


def format_spread(entry):
    if "min" not in entry:
        return ""
    pairs = " (%d pairs)" % entry["pairs"] if entry.get("pairs") else ""
    return "%.3f–%.3f%s" % (entry["min"], entry["max"], pairs)


def format_cpu(entry):
    value = entry.get("cpu_value")
    return "" if value is None or value != value else "%.3f" % value


def format_goal(goal):
    return goal.replace("<=", "≤ ").replace(">=", "≥ ").replace("==", "= ")


def command_report(args):
    entries = []
    with open(args.raw) as raw:
        for line in raw:
            if line.strip():
                entries.append(json.loads(line))
    lines = []
    if args.heading:
        lines += [args.heading, ""]
    lines += ["| Figure | Compared with | Median | Spread (min–max) | CPU ratio | Goal | Met |",
              "|---|---|---|---|---|---|---|"]
    for entry in entries:
        if entry.get("gap"):
            met = "not measured"
        else:
            met = "yes" if entry["met"] else "**no**"
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            entry["title"], entry["baseline"], format_value(entry), format_spread(entry),
            format_cpu(entry), format_goal(entry["goal"]), met))
    notes = [entry for entry in entries if entry.get("detail")]
    if notes:
        lines += ["", "Notes:", ""]
        for entry in notes:
            lines.append("- %s: %s" % (entry["title"], entry["detail"]))
    timed = [entry for entry in entries if entry["kind"] == "ratio"]
    if timed:
        lines += ["", "Median wall time of each command (seconds, one run):", ""]
        for entry in timed:
            parts = ", ".join("%s %.4f" % item for item in entry["median_seconds"].items())
            lines.append("- %s (`%s`): %s" % (entry["id"], entry["ratio"], parts))
    with open(args.out, "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="action", required=True)

    timing = sub.add_parser("time")
    record = sub.add_parser("record")
    for each in (timing, record):
        each.add_argument("--raw", required=True)
        each.add_argument("--id", required=True)
        each.add_argument("--title", required=True)
        each.add_argument("--baseline", required=True)
        each.add_argument("--goal", required=True)
        each.add_argument("--detail")
    timing.add_argument("--cmd", nargs=2, action="append", required=True,
                        metavar=("LABEL", "COMMAND"))
    timing.add_argument("--prepare", nargs=2, action="append", metavar=("LABEL", "SHELL"))
    timing.add_argument("--ratio", required=True)
    timing.add_argument("--also", action="append", help="a further ratio for the notes")
    timing.add_argument("--rounds", type=int, default=5)
    timing.add_argument("--warmup", type=int, default=1)
    timing.add_argument("--batch", type=int, default=1)
    timing.add_argument("--log", help="file that receives the commands' output")
    record.add_argument("--value", required=True)
    record.add_argument("--unit")
    record.add_argument("--min")
    record.add_argument("--max")
    record.add_argument("--pairs", type=int)
    record.add_argument("--gap", action="store_true", help="the figure could not be measured")

    report = sub.add_parser("report")
    report.add_argument("--raw", required=True)
    report.add_argument("--out", required=True)
    report.add_argument("--heading")

    args = parser.parse_args()
    if args.action == "time":
        if args.rounds < 5 and os.environ.get("BENCH_QUICK") != "1":
            raise SystemExit("measure.py: at least 5 rounds (BENCH_QUICK=1 allows fewer)")
        command_time(args)
    elif args.action == "record":
        command_record(args)
    else:
        command_report(args)


if __name__ == "__main__":
    sys.exit(main())

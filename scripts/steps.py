#!/usr/bin/env python3
"""Runs the steps of a test plan, as many at once as the machine has cores,
each after the steps it names, and prints what each took.

The plan comes on standard input, one step a line:

    NAME  AFTER  COMMAND...

AFTER is a comma-separated list of earlier steps' names, or `-`. COMMAND is
the rest of the line, run by bash (-e -u -o pipefail) from the current
directory. A step starts once all of its AFTER steps have passed; among the
steps ready to start, the one listed first goes first, so the plan lists the
long chains first. A step whose AFTER step failed is not run, except after a
name written `~NAME`, which only has to have ended (a step that collects what
others left behind). Blank lines and lines starting with `#` are ignored.

Each step's output goes to LOGS/NAME.log and is printed whole when the step
ends, so that the output of steps running side by side never interleaves. At
the end comes a table of every step's start, duration, processor time (its
own and its waited-for descendants', user and system) and outcome, and a
closing line `steps: N passed, N failed`; the exit status is 1 if any step
failed or was not run.

    scripts/steps.py [--jobs N] [--logs DIR] < plan
      --jobs: steps at once (default: VESTREL_TEST_JOBS, or the number of cores)
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path


class Step:
    def __init__(self, name, after, command, line):
        self.name, self.after, self.command, self.line = name, after, command, line
        self.process = None
        self.log = None
        self.started = self.ended = None
        self.cpu = 0.0
        self.outcome = None  # "ok", "FAILED (code)", "not run (... failed)"


def read_plan(text):
    steps = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = line.split(None, 2)
        if len(fields) < 3:
            sys.exit(f"steps: line {number}: want NAME AFTER COMMAND: {line!r}")
        name, after, command = fields
        after = [] if after == "-" else after.split(",")
        if name in steps:
            sys.exit(f"steps: line {number}: step {name} is defined twice")
        unknown = [a.lstrip("~") for a in after if a.lstrip("~") not in steps]
        if unknown:
            sys.exit(f"steps: line {number}: {name} runs after {', '.join(unknown)}, "
                     "which no earlier line defines")
        steps[name] = Step(name, after, command, number)
    if not steps:
        sys.exit("steps: the plan has no step")
    return list(steps.values())


def clock(seconds):
    return f"{int(seconds) // 60}:{int(seconds) % 60:02d}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int,
                        default=int(os.environ.get("VESTREL_TEST_JOBS") or os.cpu_count() or 1))
    parser.add_argument("--logs", default="build-logs", help="folder for the steps' logs")
    options = parser.parse_args()
    steps = read_plan(sys.stdin.read())
    by_name = {step.name: step for step in steps}
    logs = Path(options.logs)
    logs.mkdir(parents=True, exist_ok=True)
    begin = time.monotonic()

    def satisfied(after):
        if after.startswith("~"):
            return by_name[after[1:]].outcome is not None
        return by_name[after].outcome == "ok"

    def finish(step, outcome):
        step.ended, step.outcome = time.monotonic(), outcome
        if step.log:
            step.log.close()
            text = (logs / f"{step.name}.log").read_text(errors="replace")
            print(f"steps: ==== {step.name}: {outcome} after {step.ended - step.started:.1f}s ====")
            print(text, end="" if text.endswith("\n") or not text else "\n", flush=True)
        else:
            print(f"steps: ==== {step.name}: {outcome} ====", flush=True)

    while True:
        running = [s for s in steps if s.process]
        for step in running:
            # wait4 rather than poll: the step's processor time comes with its status.
            pid, status, usage = os.wait4(step.process.pid, os.WNOHANG)
            if pid:
                code = step.process.returncode = os.waitstatus_to_exitcode(status)
                step.process, step.cpu = None, usage.ru_utime + usage.ru_stime
                finish(step, "ok" if code == 0 else f"FAILED ({code})")
        for step in steps:
            broken = [a for a in step.after
                      if not a.startswith("~") and by_name[a].outcome not in (None, "ok")]
            if step.outcome is None and not step.process and broken:
                step.started = time.monotonic()
                finish(step, f"not run ({broken[0]} did not pass)")
        running = [s for s in steps if s.process]
        for step in steps:
            if len(running) >= max(options.jobs, 1):
                break
            if step.outcome is None and not step.process and all(map(satisfied, step.after)):
                step.log = open(logs / f"{step.name}.log", "w")
                step.started = time.monotonic()
                print(f"steps: {clock(step.started - begin)} start {step.name}", flush=True)
                step.process = subprocess.Popen(
                    ["bash", "-euo", "pipefail", "-c", step.command], stdout=step.log,
                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
                running.append(step)
        if all(step.outcome is not None for step in steps):
            break
        time.sleep(0.2)

    wall = time.monotonic() - begin
    total = sum(step.ended - step.started for step in steps)
    cpu = sum(step.cpu for step in steps)
    print(f"steps: durations ({clock(wall)} wall, {options.jobs} at once; "
          f"the steps add up to {clock(total)}, {clock(cpu)} of processor time)")
    width = max(len(step.name) for step in steps)
    for step in sorted(steps, key=lambda s: s.started):
        print(f"  {step.name:<{width}}  from {clock(step.started - begin):>5}  "
              f"{step.ended - step.started:7.1f}s  cpu {step.cpu:6.1f}s  {step.outcome}")
    passed = sum(step.outcome == "ok" for step in steps)
    print(f"steps: {passed} passed, {len(steps) - passed} failed")
    return 0 if passed == len(steps) else 1


if __name__ == "__main__":
    sys.exit(main())

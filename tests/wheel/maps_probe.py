"""Runs a command and records every file that it or any process it starts maps.

    python maps_probe.py OUT.json COMMAND [ARG ...]

The command's output passes through; OUT.json gets its exit status and the
mapped files. The processes' maps are read every fifth of a second while the
command runs: a library stays mapped until its process ends.
"""

import json
import os
import subprocess
import sys
import time


def descendants(pid):
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        found.append(p)
        todo.extend(children.get(p, []))
    return found


def mapped_files(pid):
    try:
        with open(f"/proc/{pid}/maps") as f:
            return {line.split(None, 5)[5].strip() for line in f if len(line.split(None, 5)) == 6}
    except OSError:
        return set()


def main():
    out, command = sys.argv[1], sys.argv[2:]
    proc = subprocess.Popen(command)
    files = set()
    while proc.poll() is None:
        for pid in descendants(proc.pid):
            files |= {f for f in mapped_files(pid) if f.startswith("/")}
        time.sleep(0.2)
    with open(out, "w") as f:
        json.dump({"returncode": proc.returncode, "files": sorted(files)}, f)


if __name__ == "__main__":
    main()

"""Runs every benchmark module (bench_*.py), or those named on the command line.

    python benchmarks/run.py            # all
    python benchmarks/run.py measures   # bench_measures.py only
"""

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))


def main(argv):
    names = sorted(p.stem for p in HERE.glob("bench_*.py"))
    wanted = [f"bench_{a}" if not a.startswith("bench_") else a for a in argv]
    for name in names:
        if wanted and name not in wanted:
            continue
        print(f"== {name[len('bench_'):]}", flush=True)
        importlib.import_module(name).main()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

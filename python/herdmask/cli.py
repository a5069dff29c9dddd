"""The `herdmask` command."""

import argparse


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="herdmask")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="run the pipeline on a generated sample recording")
    demo.add_argument("--out", default="herdmask-demo")
    args = parser.parse_args(argv)
    if args.command == "demo":
        from .demo import run_demo

        run_demo(args.out)
    return 0

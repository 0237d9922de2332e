"""Entry point of the `norvane-native` command."""
import argparse
import datetime
import sys
import time


def cmd_demo(args):
    started = time.perf_counter()
    from norvane.tessel.mod.mod_quant_data.data_sources import quarrybin
    from norvane.tessel.utils import pulsebridge  # noqa: F401
    from norvane.tessel.zered.services import shareflags  # noqa: F401

    print("Date and time numbers (quarrybin.date_to_number / time_to_number):")
    samples = [
        datetime.datetime(2024, 1, 2, 9, 31),
        datetime.datetime(2024, 1, 2, 14, 59, 59, 999999),
        datetime.datetime(2024, 3, 29, 9, 30, 0, 500000),
    ]
    for dt in samples:
        print(f"  {dt.isoformat(sep=' '):<28} -> {quarrybin.date_to_number(dt)}  "
              f"{quarrybin.time_to_number(dt)!r}")
    print(f"modules imported and numbers computed in {time.perf_counter() - started:.3f}s")
    return 0


def build_parser():
    parser = argparse.ArgumentParser(
        prog="norvane-native",
        description="Market-data stores, live bridge and stock-status queries of the norvane engine.",
    )
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="run every part on an embedded sample market")
    demo.set_defaults(func=cmd_demo)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())

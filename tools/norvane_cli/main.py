"""Entry point of the `norvane-native` command.

Commands: `demo` (every part on the embedded sample market), `algo-bars` (build or refresh VWAP/TWAP
caches of a minute-bar tree, several processes at once), `bars` and `ticks` (one date as a table).
Bad paths, unknown codes and dates without data give one line on standard error and exit status 1
(2 for usage errors), never a traceback.
"""
import argparse
import datetime
import pathlib
import sys


class UserError(Exception):
    """A problem with what the user asked for: reported as one line, exit status 1."""


def parse_date(text):
    """A date as 20240102 or 2024-01-02 -> date number."""
    for fmt in ("%Y%m%d", "%Y-%m-%d"):
        try:
            d = datetime.datetime.strptime(text, fmt).date()
            return d.year * 10000 + d.month * 100 + d.day
        except ValueError:
            pass
    raise argparse.ArgumentTypeError(f"not a date: {text!r} (use 20240102 or 2024-01-02)")


def parse_window(text):
    """A window as 930-1000 -> (930, 1000)."""
    try:
        start, end = (int(x) for x in text.split("-"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a window: {text!r} (use HHMM-HHMM, e.g. 930-1000)") from None
    for v in (start, end):
        if not (0 <= v // 100 <= 23 and 0 <= v % 100 <= 59):
            raise argparse.ArgumentTypeError(f"not a time of day in window {text!r}")
    return start, end


def existing_dir(text):
    path = pathlib.Path(text)
    if not path.is_dir():
        raise UserError(f"not a directory: {text}")
    return path


def table(rows, headers):
    from tabulate import tabulate

    return tabulate(rows, headers=headers, tablefmt="simple", floatfmt=".4f", disable_numparse=True)


def record_table(records, limit=None):
    """A record array (or 1-D array) as a text table, optionally only its first `limit` rows."""
    import numpy as np

    shown = records if limit is None else records[:limit]
    if shown.dtype.names is None:
        headers = ["value"]
        rows = [[_cell(v)] for v in shown]
    else:
        headers = list(shown.dtype.names)
        rows = [[_cell(v) for v in rec] for rec in shown.tolist()]
    text = table(rows, headers)
    if limit is not None and len(records) > limit:
        text += f"\n... {len(records) - limit} more rows ({len(records)} in all)"
    del np
    return text


def _cell(v):
    if isinstance(v, float):
        return f"{v:.4f}"
    return str(v)


# ---------------------------------------------------------------------------------------------
# bars / ticks


def cmd_bars(args):
    from norvane.tessel.mod.mod_quant_data.data_sources.quarrybin import H5MinBarStore

    store = H5MinBarStore(str(existing_dir(args.min_path)))
    if f"{args.code}.h5" not in store._file_map and f"{args.code}-sample.h5" not in store._file_map:
        raise UserError(f"unknown code {args.code}: no minute-bar file {args.code}.h5 under {args.min_path}")
    try:
        bars = store.get_minute_bar(args.code, args.date, args.fields or None)
    except (KeyError, ValueError) as exc:  # a field the file does not have, or named twice
        raise UserError(f"bad --fields for {args.code}: {exc}") from None
    if bars is None:
        first, last = store.get_date_range(args.code)
        raise UserError(f"no minute bars for {args.code} on {args.date} (the file covers {first} to {last})")
    print(f"{args.code} {args.date}: {len(bars)} minute bars")
    print(record_table(bars, args.limit))
    return 0


def cmd_ticks(args):
    from norvane.tessel.mod.mod_quant_data.data_sources.quarrybin import H5TicksLoader

    loader = H5TicksLoader(str(existing_dir(args.tick_path)))
    try:
        ticks = loader.get_ticks_by_date(args.code, args.date)
    except RuntimeError:
        raise UserError(f"unknown code {args.code}: no tick file {args.code}.h5 in {args.tick_path}") from None
    if ticks is None:
        raise UserError(f"no ticks for {args.code} on {args.date}")
    fields = args.fields or ["date", "time", "last_price", "volume", "a1", "b1", "a1_v", "b1_v"]
    unknown = [f for f in fields if f not in ticks.dtype.names]
    if unknown:
        raise UserError(f"unknown tick fields: {', '.join(unknown)}")
    print(f"{args.code} {args.date}: {len(ticks)} ticks")
    print(record_table(ticks[fields], args.limit))
    return 0


# ---------------------------------------------------------------------------------------------
# algo-bars

_worker_store = None


def _init_worker(algo_path, min_path):
    global _worker_store
    from norvane.tessel.mod.mod_quant_data.data_sources.quarrybin import AlgoStore

    _worker_store = AlgoStore(algo_path, min_path)


def _algo_job(code, multiplier, window):
    """One (code, window) in a worker process: (code, window, number of records, error text)."""
    from norvane.tessel.model.instrument import Instrument

    try:
        bars = _worker_store.get_bars(Instrument(code, contract_multiplier=multiplier), *window)
        return code, window, bars, None
    except Exception as exc:  # reported in the summary, one line per failure
        return code, window, None, f"{type(exc).__name__}: {exc}"


def minute_codes(min_path):
    """Market codes of the minute-bar tree, as the algo store keys them (later file wins)."""
    found = {}
    for path in sorted(pathlib.Path(min_path).glob("**/*.h5")):
        if any(part.startswith(".") for part in path.relative_to(min_path).parts):
            continue
        found[path.stem] = path
    return found


def _existing_bars(algo_path, window, codes):
    import h5py

    path = pathlib.Path(algo_path) / f"algo_{window[0]}_{window[1]}.h5"
    before = {}
    if path.exists():
        try:
            with h5py.File(path, "r") as h5:
                for code in codes:
                    if code in h5:
                        before[code] = h5[code][()]
        except OSError:
            pass  # an unreadable cache is rebuilt by the store; count it as missing here
    return before


def run_algo_bars(min_path, algo_path, windows, codes, jobs, multipliers=None, progress=True, out=sys.stdout):
    """Builds or refreshes the algo caches; returns {(code, window): bars} and prints a summary."""
    import concurrent.futures
    import multiprocessing

    import numpy as np
    from tqdm import tqdm

    multipliers = multipliers or {}
    pathlib.Path(algo_path).mkdir(parents=True, exist_ok=True)
    before = {w: _existing_bars(algo_path, w, codes) for w in windows}
    tasks = [(c, float(multipliers.get(c, 1.0)), w) for w in windows for c in codes]
    results, failures = {}, []
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(
        max_workers=max(1, jobs), mp_context=ctx, initializer=_init_worker, initargs=(str(algo_path), str(min_path))
    ) as pool:
        futures = [pool.submit(_algo_job, *t) for t in tasks]
        for fut in tqdm(concurrent.futures.as_completed(futures), total=len(futures), desc="algo bars",
                        unit="dataset", disable=not progress, file=sys.stderr):
            code, window, bars, error = fut.result()
            if error:
                failures.append((code, window, error))
            else:
                results[(code, window)] = bars
    created = rebuilt = appended_days = 0
    for (code, window), bars in results.items():
        old = before[window].get(code)
        if old is None:
            created += 1
        elif len(bars) >= len(old) and _same_records(bars[: len(old)], old):
            appended_days += len(bars) - len(old)
        else:
            rebuilt += 1
    print(
        f"instruments: {len(codes)}  windows: {len(windows)}  datasets created: {created}  "
        f"rebuilt: {rebuilt}  days appended: {appended_days}  failures: {len(failures)}",
        file=out,
    )
    for code, window, error in failures:
        print(f"  failed {code} {window[0]}-{window[1]}: {error}", file=out)
    return results, failures


def _same_records(a, b):
    """Record arrays equal field by field, NaN equal to NaN."""
    import numpy as np

    if a.dtype.names != b.dtype.names:
        return False
    return all(np.array_equal(a[n], b[n], equal_nan=a[n].dtype.kind == "f") for n in a.dtype.names)


def cmd_algo_bars(args):
    min_path = existing_dir(args.min_path)
    available = minute_codes(min_path)
    if not available:
        raise UserError(f"no minute-bar files (*.h5) under {args.min_path}")
    codes = args.codes or sorted(available)
    unknown = [c for c in codes if c not in available]
    if unknown:
        raise UserError(f"unknown codes (no minute-bar file): {', '.join(unknown)}")
    if (args.csv or args.plot) and len(codes) != 1:
        raise UserError("--csv and --plot export one code: name exactly one CODE")
    if args.plot:
        _require_matplotlib()
    windows = args.window or [(930, 1000)]
    results, failures = run_algo_bars(min_path, args.algo_path, windows, codes, args.jobs,
                                      progress=not args.no_progress)
    if args.csv or args.plot:
        code = codes[0]
        if args.csv:
            _write_csv(args.csv, code, windows, results)
            print(f"wrote {args.csv}")
        if args.plot:
            _plot(args.plot, code, windows, results)
            print(f"wrote {args.plot}")
    return 1 if failures else 0


def _date_text(n):
    return f"{n // 10000:04d}-{n // 100 % 100:02d}-{n % 100:02d}"


def _write_csv(path, code, windows, results):
    import csv

    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["code", "window", "date", "VWAP", "TWAP", "volume"])
        for window in windows:
            for rec in results.get((code, window), []):
                w.writerow([code, f"{window[0]}-{window[1]}", _date_text(int(rec["date"])), repr(float(rec["VWAP"])),
                            repr(float(rec["TWAP"])), int(rec["volume"])])


def _require_matplotlib():
    try:
        import matplotlib
    except ImportError:
        raise UserError("--plot needs matplotlib (pip install 'norvane-native[plot]')") from None
    return matplotlib


def _plot(path, code, windows, results):
    matplotlib = _require_matplotlib()
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(9, 4))
    for window in windows:
        bars = results.get((code, window))
        if bars is None or not len(bars):
            continue
        dates = [datetime.datetime.strptime(str(int(d)), "%Y%m%d") for d in bars["date"]]
        ax.plot(dates, bars["VWAP"], label=f"VWAP {window[0]}-{window[1]}")
        ax.plot(dates, bars["TWAP"], label=f"TWAP {window[0]}-{window[1]}", linestyle="--")
    ax.set_title(f"{code} daily VWAP and TWAP")
    ax.legend()
    fig.autofmt_xdate()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------------------------------------


def cmd_demo(args):
    from norvane_cli import demo

    return demo.run(args)


def build_parser():
    parser = argparse.ArgumentParser(
        prog="norvane-native",
        description="Market-data stores, live bridge and stock-status queries of the norvane engine.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="run every part on an embedded sample market",
                          description="Generate (once) a small sample market and run every part on it.")
    demo.add_argument("--root", help="folder of the sample market (default: a cache folder)")
    demo.add_argument("--no-progress", action="store_true", help="no progress bars")
    demo.set_defaults(func=cmd_demo)

    algo = sub.add_parser("algo-bars", help="build or refresh VWAP/TWAP caches of a minute-bar tree",
                          description="Build or refresh the daily VWAP/TWAP caches of every instrument of a "
                                      "minute-bar tree (or the codes given), several processes at once.")
    algo.add_argument("codes", nargs="*", metavar="CODE", help="market codes (default: every minute file)")
    algo.add_argument("--min-path", required=True, help="root of the minute-bar files")
    algo.add_argument("--algo-path", required=True, help="folder of the algo files (created if missing)")
    algo.add_argument("--window", action="append", type=parse_window, metavar="HHMM-HHMM",
                      help="intraday window, bounds inclusive (repeatable; default 930-1000)")
    algo.add_argument("--jobs", type=int, default=2, help="worker processes (default 2)")
    algo.add_argument("--csv", metavar="FILE", help="export the bars of the one CODE given")
    algo.add_argument("--plot", metavar="FILE.png", help="plot VWAP and TWAP of the one CODE given (needs matplotlib)")
    algo.add_argument("--no-progress", action="store_true", help="no progress bar")
    algo.set_defaults(func=cmd_algo_bars)

    bars = sub.add_parser("bars", help="print one date's minute bars", description="Print one date's minute bars.")
    bars.add_argument("code", metavar="CODE")
    bars.add_argument("date", metavar="DATE", type=parse_date)
    bars.add_argument("--min-path", required=True, help="root of the minute-bar files")
    bars.add_argument("--fields", nargs="+", metavar="FIELD", help="fields to show (default: all)")
    bars.add_argument("--limit", type=int, default=None, help="show at most this many rows")
    bars.set_defaults(func=cmd_bars)

    ticks = sub.add_parser("ticks", help="print one date's ticks", description="Print one date's ticks.")
    ticks.add_argument("code", metavar="CODE")
    ticks.add_argument("date", metavar="DATE", type=parse_date)
    ticks.add_argument("--tick-path", required=True, help="folder of the tick files")
    ticks.add_argument("--fields", nargs="+", metavar="FIELD", help="fields to show")
    ticks.add_argument("--limit", type=int, default=None, help="show at most this many rows")
    ticks.set_defaults(func=cmd_ticks)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except UserError as exc:
        print(f"norvane-native: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("norvane-native: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

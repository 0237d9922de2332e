"""Shared timing and reporting for the benchmarks.

Each bench_*.py defines `run() -> list[Row]`, timing our code and its baseline in the same run,
and can be run alone (`python bench/bench_x.py`) or through `run_all.py` (one table)."""
import statistics
import time
from dataclasses import dataclass


@dataclass
class Row:
    case: str
    ours: float        # median seconds per call of our code
    baseline: float    # median seconds per call of the baseline
    baseline_name: str
    goal: str          # e.g. "<= 1.1x floor" or ">= 20x faster"
    met: bool

    @property
    def ratio(self):
        return self.ours / self.baseline if self.baseline else float("nan")


def median_time(fn, repeat=7, number=None, min_time=0.05):
    """Median seconds per call over `repeat` rounds of `number` calls (auto-sized when None)."""
    if number is None:
        number = 1
        while True:
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            if time.perf_counter() - t0 >= min_time or number >= 1 << 20:
                break
            number *= 2
    samples = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        samples.append((time.perf_counter() - t0) / number)
    return statistics.median(samples)


def at_most(ours, baseline, factor, case, baseline_name):
    """Goal: our time within `factor` times the baseline (a floor)."""
    return Row(case, ours, baseline, baseline_name, f"<= {factor:g}x {baseline_name}", ours <= factor * baseline)


def faster_by(ours, baseline, factor, case, baseline_name):
    """Goal: at least `factor` times faster than the baseline."""
    return Row(case, ours, baseline, baseline_name, f">= {factor:g}x faster than {baseline_name}",
               baseline >= factor * ours)


def info(ours, baseline, case, baseline_name):
    """No goal: reported for information."""
    return Row(case, ours, baseline, baseline_name, "(reported)", True)


def fmt_seconds(s):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def print_table(rows, title=None):
    if title:
        print(title)
    header = ("case", "ours", "baseline", "ratio", "goal", "met")
    body = [
        (r.case, fmt_seconds(r.ours), f"{fmt_seconds(r.baseline)} ({r.baseline_name})", f"{r.ratio:.3g}",
         r.goal, "yes" if r.met else "NO")
        for r in rows
    ]
    widths = [max(len(str(x)) for x in col) for col in zip(header, *body)]
    for line in (header, *body):
        print("  ".join(str(x).ljust(w) for x, w in zip(line, widths)))

"""AlgoStore under real processes: concurrent queries while the minute files grow, and writers
killed with SIGKILL in the middle of their updates."""
import multiprocessing
import os
import random
import signal
import time

import h5py
import numpy as np
import pytest

from support import QUARRYBIN
from support import algo_files
from support.algo_files import first_days, make_minute_data, write_minute_file

WINDOWS = [(930, 1000), (1300, 1500)]


def expected_bars(quarrybin, tmp_path, files):
    """Bars of each (code, window) computed once from the full minute files, in a clean cache."""
    root = tmp_path / "full_min"
    for code, (data, index) in files.items():
        write_minute_file(str(root / f"{code}.h5"), data, index)
    store = quarrybin.AlgoStore(str(tmp_path / "full_algo"), str(root))
    return {(code, w): store.get_bars(algo_files._Instrument(code), *w) for code in files for w in WINDOWS}


def stored_datasets(algo_dir):
    out = {}
    for w in WINDOWS:
        path = os.path.join(algo_dir, "algo_{}_{}.h5".format(*w))
        if os.path.exists(path):
            with h5py.File(path, "r") as h5:
                out.update({(code, w): h5[code][()] for code in h5})
    return out


def test_concurrent_queries_while_minute_files_grow(quarrybin, tmp_path):
    codes = ["600000.SH", "000001.SZ", "A2401"]
    files = {c: make_minute_data(30, night=c == "A2401", seed=i) for i, c in enumerate(codes)}
    expected = expected_bars(quarrybin, tmp_path, files)
    lengths = [18, 21, 24, 27, 30]
    versions = {c: [first_days(*files[c], n) for n in lengths] for c in codes}
    min_dir, algo_dir = str(tmp_path / "min"), str(tmp_path / "algo")
    for c in codes:
        write_minute_file(os.path.join(min_dir, f"{c}.h5"), *versions[c][0])

    ctx = multiprocessing.get_context("spawn")
    out = ctx.Queue()
    start = ctx.Barrier(5)  # the four readers and the updater begin together, once imported
    workers = [
        ctx.Process(target=algo_files.query_worker,
                    args=(algo_dir, min_dir, [codes[i % 3], codes[(i + 1) % 3]], WINDOWS, start, 2.5, expected, out))
        for i in range(4)
    ]
    updater = ctx.Process(target=algo_files.updater_worker, args=(min_dir, versions, start, 0.4))
    for p in workers + [updater]:
        p.start()
    results = [out.get(timeout=60) for _ in workers]
    for p in workers + [updater]:
        p.join(30)
        assert p.exitcode == 0
    errors = [r[1] for r in results if r[0] != "ok"]
    assert not errors, errors[0]
    assert all(r[1] > 0 for r in results)

    # Every cached dataset is the computation of one version of its minute file.
    datasets = stored_datasets(algo_dir)
    assert set(datasets) == set(expected)
    for key, ds in datasets.items():
        assert len(ds) in lengths
        assert ds.tobytes() == expected[key][: len(ds)].tobytes()
    # And a new query sees the last version.
    store = quarrybin.AlgoStore(algo_dir, min_dir)
    for (code, w), bars in expected.items():
        assert store.get_bars(algo_files._Instrument(code), *w).tobytes() == bars.tobytes()


def test_writers_killed_at_random_moments_leave_a_usable_cache(quarrybin, tmp_path):
    codes = ["600000.SH", "A2401"]
    files = {c: make_minute_data(14, night=c == "A2401", seed=20 + i) for i, c in enumerate(codes)}
    expected = expected_bars(quarrybin, tmp_path, files)
    roots = [str(tmp_path / "short"), str(tmp_path / "long")]
    for c in codes:
        write_minute_file(os.path.join(roots[0], f"{c}.h5"), *first_days(*files[c], 10))
        write_minute_file(os.path.join(roots[1], f"{c}.h5"), *files[c])
    algo_dir = str(tmp_path / "algo")

    # Children forked from a server that has the modules imported start in milliseconds.
    ctx = multiprocessing.get_context("forkserver")
    ctx.set_forkserver_preload(["support.algo_files", QUARRYBIN])
    rng = random.Random(7)
    kills = interrupted = 0
    deadline = time.monotonic() + 15
    while (kills < 12 or interrupted < 3) and time.monotonic() < deadline:
        ready = ctx.Event()
        writer = ctx.Process(target=algo_files.churn_worker, args=(algo_dir, roots, codes, WINDOWS, ready))
        writer.start()
        assert ready.wait(30)
        time.sleep(rng.uniform(0.01, 0.25))
        os.kill(writer.pid, signal.SIGKILL)
        writer.join(10)
        assert writer.exitcode == -signal.SIGKILL
        kills += 1
        interrupted += any(  # a temporary file or an in-place change was left behind
            ".tmp-" in f or f.endswith(".writing") for f in os.listdir(algo_dir))
        # Every following query returns the correct bars, from either version of the files.
        n = len(files[codes[0]][1]) if kills % 2 else 10
        store = quarrybin.AlgoStore(algo_dir, roots[kills % 2])
        for (code, w), bars in expected.items():
            got = store.get_bars(algo_files._Instrument(code), *w)
            assert got.tobytes() == bars[:n].tobytes()
    assert kills >= 6 and interrupted >= 1  # some kills did land in the middle of a write
    assert not [f for f in os.listdir(algo_dir) if ".tmp-" in f or ".writing" in f]  # leftovers were cleared

"""Load: the live bridge under four producer threads and a draining engine thread, and the algo
store under several processes sharing one algo directory.

Each test runs at full size when marked `slow` (`./dev load`, or NORVANE_LOAD=1) and scaled down in
the default suite: the same code with smaller numbers.
"""
import importlib
import multiprocessing
import os
import threading
import time
from types import SimpleNamespace

import numpy as np
import pytest

from norvane.tessel.const import ORDER_STATUS, SIDE
from norvane.tessel.environment import DataProxy, Environment
from norvane.tessel.model.instrument import Instrument
from norvane.tessel.model.order import Order
from pyvanta.enums import OrderStatusType

from support import PULSEBRIDGE, QUARRYBIN, load_workers
from support.algo_files import assert_bars_equal, make_minute_data, reference_algo_bars, write_minute_file
from support.bridge import bar, snapshot

SIZES = {
    # events in all, queue capacity
    "bridge": {"full": (3_000_000, 1_000_000), "scaled": (150_000, 30_000)},
    # processes, instruments, windows
    "algo": {"full": (8, 200, [(930, 1000), (1300, 1500)]), "scaled": (3, 24, [(930, 1000), (1300, 1500)])},
}
SIZE = [pytest.param("full", marks=pytest.mark.slow), "scaled"]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---- The bridge: four SDK threads post, the engine drains ----

THREADS = 4
CODES = [f"{i:06d}" for i in range(50)]


class Drainer(threading.Thread):
    """The engine side: pops events oldest first while `draining` is set; checks on the way that each
    producer's events come in the order posted, none twice."""

    def __init__(self, queue):
        super().__init__(daemon=True)
        self.queue = queue
        self.draining = threading.Event()
        self.draining.set()
        self.stop = threading.Event()
        self.last = {}  # producer -> newest sequence number seen
        self.count = 0
        self.errors = []

    def run(self):
        try:
            while not self.stop.is_set():
                if not self.draining.is_set() or len(self.queue) == 0:
                    time.sleep(0.0005)
                    continue
                for _ in range(min(len(self.queue), 1000)):
                    event = self.queue.popleft()
                    producer, seq = event.stamp
                    if seq <= self.last.get(producer, -1):
                        raise AssertionError(f"event {seq} of producer {producer} out of order or twice")
                    self.last[producer] = seq
                    self.count += 1
        except BaseException as exc:
            self.errors.append(exc)


@pytest.fixture
def bridge_under_load():
    pb = importlib.import_module(PULSEBRIDGE)
    saved = (pb.event_queue, pb.Event, Environment.get_instance(), pb.system_log.level)
    env = Environment()
    env.data_proxy = DataProxy({code + ".SH": Instrument(code + ".SH") for code in CODES})
    env.set_universe(["one"])  # every bar completes its bar time: one event per bar
    env._accounts["600000.SH"] = SimpleNamespace(name="stock account")
    Environment.set_instance(env)
    pb.system_log.setLevel("WARNING")  # on_order logs every report at info level
    for name in ("history_bar", "history_tick", "orders_dict"):
        getattr(pb, name).clear()
    try:
        yield pb
    finally:
        pb.event_queue, pb.Event = saved[0], saved[1]
        Environment.set_instance(saved[2])
        pb.system_log.setLevel(saved[3])
        for name in ("history_bar", "history_tick", "orders_dict"):
            getattr(pb, name).clear()


@pytest.mark.parametrize("size", SIZE)
def test_bridge_under_four_producers_and_a_draining_engine(bridge_under_load, size):
    pb = bridge_under_load
    total, capacity = SIZES["bridge"][size]
    per_thread = total // THREADS
    queue = pb.event_queue = pb.RB(capacity=capacity, dtype=object)  # as the module makes its own
    real_event = pb.Event
    local = threading.local()

    class StampedEvent(real_event):
        """The engine's event, stamped with its producer and its number there."""

        __slots__ = ()

        def __init__(self, event_type, **payload):
            super().__init__(event_type, **payload)
            self.stamp = (local.producer, local.posted)
            local.posted += 1

    pb.Event = StampedEvent
    order = Order(1, "600000.SH", SIDE.BUY, 300, 10.0, position_effect="OPEN")
    order.status = ORDER_STATUS.ACTIVE
    pb.orders_dict["c1"] = order
    # One report that always posts one event (pending cancel, no fill).
    report = SimpleNamespace(client_order_id="c1", security_id="600000", order_price=10.0,
                             order_status=OrderStatusType.WaitCancelled, order_qty=300, trade_qty=0,
                             total_trade_value=0.0, error_msg="", error_code=0, last_match_qty=0,
                             last_match_price=0.0, counter_order_id=0, frozen_trade_value=0.0)
    snaps = [snapshot(security_id=code) for code in CODES]

    errors = []
    progress = [0] * THREADS  # events posted so far, per producer
    started = threading.Barrier(THREADS + 1)

    def produce(producer):
        try:
            local.producer, local.posted = producer, 0
            strategy = pb.VantaStrategy.__new__(pb.VantaStrategy)  # one bar counter per SDK thread
            pb.strategy.VantaStrategy.__init__(strategy)
            strategy.bar_cnt, strategy.current_trade_dt = 0, 0
            started.wait()
            i = 0
            while local.posted < per_thread:
                k = i % 20
                if k == 0:
                    strategy.on_order(report)
                elif k < 6:
                    strategy.on_bar(bar(security_id=CODES[i % len(CODES)], end_time=20240102093100000))
                else:
                    strategy.on_snapshot(snaps[i % len(CODES)])
                i += 1
                progress[producer] = local.posted
                if producer == 0 and i % 10_000 == 0:
                    strategy.on_switch_day()  # the SDK's day switch releases the day's bars
                    pb.orders_dict["c1"] = order
        except BaseException as exc:
            errors.append(exc)

    drainer = Drainer(queue)
    producers = [threading.Thread(target=produce, args=(p,)) for p in range(THREADS)]
    drainer.start()
    for t in producers:
        t.start()
    rss_start = rss_bytes()
    started.wait()
    began = time.perf_counter()

    # Once every slot of the buffer has been written, memory must stay flat (the buffer holds its
    # last `capacity` events, drained or not, until they are overwritten).
    def posted():
        return sum(progress)

    rss_filled = None
    try:
        while any(t.is_alive() for t in producers):
            time.sleep(0.05)
            if rss_filled is None and posted() > 1.2 * capacity:
                rss_filled = rss_bytes()
            # The engine falls behind for the last stretch: the queue must then keep the newest events.
            if drainer.draining.is_set() and posted() > total - 1.5 * capacity:
                drainer.draining.clear()
        elapsed = time.perf_counter() - began
        for t in producers:
            t.join()
        rss_end = rss_bytes()
    finally:
        drainer.stop.set()
        drainer.join()
    assert errors == [] and drainer.errors == []

    # The queue is full and holds each producer's newest events, in order.
    assert len(queue) == capacity
    kept = list(queue)
    for producer in range(THREADS):
        mine = [e.stamp[1] for e in kept if e.stamp[0] == producer]
        assert mine == list(range(per_thread - len(mine), per_thread))
        assert drainer.last.get(producer, -1) < per_thread - len(mine)
    assert len({id(e) for e in kept}) == capacity
    drained = drainer.count
    lost = THREADS * per_thread - drained - capacity
    assert 0 <= lost  # only what the full queue overwrote

    # Memory: the histories are bounded (60 ticks per code, bars until the day switch), the queue
    # by its capacity.
    assert all(len(h) <= 60 for h in pb.history_tick.values())
    assert rss_filled is not None
    growth = rss_end - rss_filled
    assert growth < max(64 << 20, 0.15 * (rss_filled - rss_start)), (rss_start, rss_filled, rss_end)
    print(f"\nbridge load ({size}): {THREADS * per_thread} events in {elapsed:.1f} s "
          f"({THREADS * per_thread / elapsed:,.0f} events/s), drained {drained}, overwritten {lost}; "
          f"RSS {rss_start >> 20} MiB at start, {rss_filled >> 20} MiB once the queue was full, "
          f"{rss_end >> 20} MiB at the end")


# ---- The algo store: processes sharing one algo directory ----

@pytest.mark.parametrize("size", SIZE)
def test_algo_store_under_many_processes(tmp_path, size):
    processes, n_codes, windows = SIZES["algo"][size]
    codes = [f"{600000 + i}.SH" for i in range(n_codes)]
    min_dir, algo_dir = tmp_path / "min", tmp_path / "algo"
    for i, code in enumerate(codes):
        data, index = make_minute_data(4, seed=i, flat_days=(1,) if i % 7 == 0 else (),
                                       empty_days=(2,) if i % 11 == 0 else ())
        write_minute_file(str(min_dir / f"{code}.h5"), data, index)

    quarrybin = importlib.import_module(QUARRYBIN)
    ctx = multiprocessing.get_context("spawn")
    out = ctx.Queue()
    start = ctx.Barrier(processes + 1)
    workers = [ctx.Process(target=load_workers.algo_query_worker,
                           args=(seed, str(algo_dir), str(min_dir), codes, windows, start, out))
               for seed in range(processes)]
    for p in workers:
        p.start()
    start.wait(300)  # every worker has imported the module: they begin together
    began = time.perf_counter()
    results = [out.get(timeout=600) for _ in workers]
    elapsed = time.perf_counter() - began
    for p in workers:
        p.join(60)
        assert p.exitcode == 0
    errors = [r[2] for r in results if r[0] != "ok"]
    assert not errors, errors[0]

    # A fresh computation: a new store over a new, empty algo directory, one query at a time.
    fresh = quarrybin.AlgoStore(str(tmp_path / "fresh"), str(min_dir))
    expected = {(c, w): fresh.get_bars(load_workers.Instrument(c), *w) for c in codes for w in windows}
    for _, _, got in results:
        assert set(got) == set(expected)
        for key, raw in got.items():
            assert raw == expected[key].tobytes(), key
    # What the processes left on disk is the same, and the computation agrees with pandas.
    import h5py

    for w in windows:
        with h5py.File(algo_dir / "algo_{}_{}.h5".format(*w), "r") as h5:
            assert sorted(h5) == sorted(codes)
            for code in codes:
                assert h5[code][()].tobytes() == expected[(code, w)].tobytes()
    for code in codes[:3]:
        bars = expected[(code, windows[0])]
        assert_bars_equal(bars, reference_algo_bars(str(min_dir / f"{code}.h5"), int(bars["date"][0]), *windows[0]),
                          rtol=1e-12)
    print(f"\nalgo load ({size}): {processes} processes x {n_codes} instruments x {len(windows)} windows "
          f"in {elapsed:.1f} s")

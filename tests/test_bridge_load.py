"""Several SDK threads at once: no event lost or doubled on the real ring buffer, histories intact."""
import sys
import threading
import time
from collections import Counter

import numpy as np
import pytest

from support.bridge import bar, bridge, snapshot  # noqa: F401 (fixture)

CODES = [f"{i:06d}" for i in range(500)]
THREADS = 3
ROUNDS = 21  # 3 threads x 21 rounds = 63 snapshots per code: every tick history overflows its 60
CAPACITY = 1000000


@pytest.fixture
def fast_switching():
    # Switch threads as often as possible, so producers interleave inside the queue's append.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


class Filler:
    """An old queue entry whose release lets other threads run (as any finaliser may), which happens
    inside the queue's append when a full buffer overwrites it."""

    active = True

    def __init__(self, i):
        self.i = i

    def __del__(self):
        if Filler.active:
            time.sleep(0)


def feed(strategy, thread, barrier, errors):
    try:
        barrier.wait()
        for r in range(ROUNDS):
            for code in CODES:
                # last_price and volume tag each snapshot with its thread and round
                strategy.on_snapshot(snapshot(security_id=code, last_price=thread, total_volume_trade=r))
                strategy.on_bar(bar(security_id=code, end_time=20240102093100000 + 100000 * r, volume=thread))
    except BaseException as exc:  # reported by the main thread
        errors.append(exc)


@pytest.mark.parametrize("prefill", [0, CAPACITY - 20000], ids=["below-capacity", "wraps-capacity"])
def test_concurrent_producers(bridge, fast_switching, prefill):
    pb = bridge.pb
    bridge.set_universe(["a", "b", "c"])
    queue = pb.event_queue
    assert queue.maxlen == CAPACITY
    if prefill:
        # Fillers 0..prefill-1, oldest first; those that the producers overwrite yield when released.
        fillers = np.arange(prefill).astype(object)
        fillers[:80000] = [Filler(i) for i in range(80000)]
        queue.extend(fillers)
        del fillers

    made = []
    real_event = pb.Event

    def recording_event(event_type, **payload):
        event = real_event(event_type, **payload)
        made.append(event)
        return event

    pb.Event = recording_event
    Filler.active = True
    strategy = bridge.strategy()
    barrier = threading.Barrier(THREADS)
    errors = []
    threads = [threading.Thread(target=feed, args=(strategy, t, barrier, errors)) for t in range(THREADS)]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        pb.Event = real_event
        Filler.active = False
    assert errors == []

    entries = list(queue)
    posted = len(made)
    ticks = sum(e.event_type is pb.EVENT.TICK for e in made)
    assert ticks == THREADS * ROUNDS * len(CODES)
    assert posted > ticks  # some bar times completed too
    total = prefill + posted
    assert total - CAPACITY <= 80000  # every overwritten entry was a yielding filler
    assert len(entries) == min(total, CAPACITY)
    kept_fillers = [e for e in entries if not isinstance(e, real_event)]
    events = entries[len(kept_fillers):]
    # Every posted event exactly once, after the surviving fillers, which are the newest ones in order.
    assert Counter(map(id, events)) == Counter(map(id, made))
    kept_fillers = [f.i if isinstance(f, Filler) else f for f in kept_fillers]
    assert kept_fillers == list(range(total - min(total, CAPACITY), prefill))

    # Each code keeps its newest 60 snapshots: per thread, a tail of what that thread sent, in order.
    for code in CODES:
        history = list(pb.history_tick[code + ".SH"])
        assert len(history) == 60
        for thread in range(THREADS):
            rounds = [t["volume"] for t in history if t["last_price"] == thread]
            assert rounds == list(range(ROUNDS - len(rounds), ROUNDS))
        assert len(pb.history_bar[code + ".SH"]) == THREADS * ROUNDS


def test_post_lock_is_released_on_failure_and_reentrant(bridge):
    pb = bridge.pb
    strategy = bridge.strategy()
    seen = []

    class Queue:
        def append(self, event):
            seen.append(event.event_type)
            if len(seen) == 1:
                raise RuntimeError("queue full")
            if len(seen) == 2:
                strategy.on_snapshot(snapshot())  # a post from inside a post, on the same thread

    pb.event_queue = Queue()
    with pytest.raises(RuntimeError, match="queue full"):
        strategy.on_snapshot(snapshot())
    strategy.on_snapshot(snapshot())  # the failed post left the lock free
    assert seen == [pb.EVENT.TICK] * 3

    def other_thread():
        strategy.on_snapshot(snapshot())

    t = threading.Thread(target=other_thread)
    t.start()
    t.join(timeout=10)
    assert not t.is_alive() and len(seen) == 4

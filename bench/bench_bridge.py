"""Live bridge callbacks against a plain-Python strategy doing the same steps.

Two runs: with the stand-in engine as it is, and with the engine's names (in both namespaces)
replaced by minimal C-level callables of the right arity, so the second run shows the bridge's own
work rather than the engine's constructors. In both runs the event queue is a short queue of the
same kind (a 10000-slot ring buffer, then a 10000-slot deque) so that the benchmark does not hold
a million events; an append costs the same whatever the capacity.
"""
import gc
import importlib
import itertools
import sys
import threading
import time
import types
from collections import deque
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from common import faster_by, info, print_table  # noqa: E402
from support import PULSEBRIDGE  # noqa: E402
from support.bridge import bar, make_config, snapshot, tick_order, tick_trade  # noqa: E402

pb = importlib.import_module(PULSEBRIDGE)

HOST_NAMES = ("Environment", "EVENT", "Event", "TickObject", "L2Order", "L2Transaction", "SIDE",
              "convert_int_to_whole_date", "convert_int_to_datetime", "get_exchane_from_vanta_mdtype",
              "get_side_from_vanta_l2_order", "get_order_type_from_vanta_l2_order", "get_trade_type_from_vanta",
              "get_l2order_type_from_vanta", "strategy")
for _name in HOST_NAMES:
    globals()[_name] = getattr(pb, _name)

event_queue = None  # bound per run, like the module's
history_tick = {}
history_bar = {}
_post_lock = threading.Lock()


class PlainStrategy(strategy.VantaStrategy):  # noqa: F821 (bound above)
    """The same steps as the bridge's callbacks, in plain Python (with the same serialised append)."""

    def __init__(self, config):
        super().__init__()
        self.bar_cnt = 0
        self.current_trade_dt = 0
        self.config = config

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_vanta_mdtype(snapshot.market_type)
        tick = {
            "market_code": market_code, "datetime": dt, "open_price": snapshot.open_price,
            "close_price": snapshot.close_price, "high_price": snapshot.high_price, "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade, "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price, "ask_vols": snapshot.ask_volume, "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume, "bids": snapshot.bid_price, "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price, "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest, "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv, "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick)
        tick_object = TickObject(Environment.get_instance().data_proxy.instruments(market_code), tick)
        with _post_lock:
            event_queue.append(Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt, tick=tick_object))

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_code = tick_order.security_id + "." + get_exchane_from_vanta_mdtype(tick_order.market_type)
        side = get_side_from_vanta_l2_order(chr(tick_order.side), tick_order.market_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price, tick_order.order_volume,
            get_order_type_from_vanta_l2_order(chr(tick_order.order_type), tick_order.market_type),
            tick_order.orig_order_no, get_l2order_type_from_vanta(chr(tick_order.order_type), tick_order.market_type))
        with _post_lock:
            event_queue.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_vanta_mdtype(tick_trade.market_type)
        side = SIDE.BUY if tick_trade.bid_appl_seq_num > tick_trade.offer_appl_seq_num else SIDE.SELL
        l2_transaction = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price, tick_trade.trade_volume,
            tick_trade.value_trade, get_trade_type_from_vanta(chr(tick_trade.trade_type)),
            tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num)
        with _post_lock:
            event_queue.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt,
                                     l2_transaction=l2_transaction))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_vanta_mdtype(bar.market_type)
        bar_dict = {
            "market_code": market_code, "orig_time": convert_int_to_datetime(bar.end_time / 1000),
            "open_price": bar.open, "close_price": bar.close, "high_price": bar.high, "low_price": bar.low,
            "total_turnover": bar.amount, "volume": bar.volume, "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(bar_dict)
        t = bar.end_time / 1000
        if self.current_trade_dt == 0 or self.current_trade_dt == t:
            self.bar_cnt += 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = t
        if self.bar_cnt == len(Environment.get_instance().get_universe()):
            calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
            with _post_lock:
                event_queue.append(Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
            self.bar_cnt = 0


def history_ticks(market_code, count):
    if market_code in history_tick:
        return list(history_tick[market_code])[count * -1:]
    return None


UNIVERSE = [f"{600000 + i}.SH" for i in range(300)]


def minimal_host():
    """The engine's names as C-level callables of the same arity (no Python frames, no objects built)."""
    env = types.SimpleNamespace(data_proxy=types.SimpleNamespace(instruments={}.get),
                                get_universe=itertools.repeat(UNIVERSE).__next__)
    events = types.SimpleNamespace(**{n: () for n in ("TICK", "BAR", "L2_ORDER", "L2_TRANSACTION")})
    return {
        "Environment": types.SimpleNamespace(get_instance=itertools.repeat(env).__next__),
        "EVENT": events,
        "Event": dict,                    # dict((), **payload)
        "TickObject": slice,              # two positional arguments, kept as they are
        "L2Order": types.SimpleNamespace(__from_create__=itertools.chain),       # any number, lazily
        "L2Transaction": types.SimpleNamespace(__from_create__=itertools.chain),
        "SIDE": types.SimpleNamespace(BUY="BUY", SELL="SELL"),
        "convert_int_to_whole_date": int,
        "convert_int_to_datetime": float,
        "get_exchane_from_vanta_mdtype": {1: "SH", 2: "SZ"}.__getitem__,
        "get_side_from_vanta_l2_order": {"1": "BUY", "2": "SELL"}.get,
        "get_order_type_from_vanta_l2_order": {}.get,
        "get_trade_type_from_vanta": {}.get,
        "get_l2order_type_from_vanta": {}.get,
    }


def bind(names):
    saved = {n: getattr(pb, n) for n in names}
    for n, v in names.items():
        setattr(pb, n, v)
        globals()[n] = v
    return saved


def paired_time(ours, baseline, number, rounds=61):
    """Seconds per call of each, from short rounds taken alternately (best round of each): on a
    shared, busy machine this keeps both sides under the same conditions. As timeit does, the cyclic
    collector is off while timing."""
    best_ours = best_base = float("inf")
    gc.collect()
    gc.disable()
    try:
        return _paired(ours, baseline, number, rounds, best_ours, best_base)
    finally:
        gc.enable()


def _paired(ours, baseline, number, rounds, best_ours, best_base):
    for _ in range(rounds):
        for fn, is_ours in ((ours, True), (baseline, False)):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            t = (time.perf_counter() - t0) / number
            if is_ours:
                best_ours = min(best_ours, t)
            else:
                best_base = min(best_base, t)
    return best_ours, best_base


def time_cases(label, make_queue):
    global event_queue
    from norvane.tessel.environment import Environment as RealEnvironment

    env = RealEnvironment()
    env.set_universe(UNIVERSE)
    saved_env = RealEnvironment.get_instance()
    RealEnvironment.set_instance(env)
    saved_queue = pb.event_queue
    pb.event_queue = make_queue()
    event_queue = make_queue()
    ours, plain = pb.VantaStrategy(make_config()), PlainStrategy(make_config())
    snap, order, trade = snapshot(), tick_order(), tick_trade()
    bars = [bar(security_id=code[:6]) for code in UNIVERSE]
    rows = []
    try:
        for case, call_ours, call_plain, per in [
            ("on_snapshot", lambda: ours.on_snapshot(snap), lambda: plain.on_snapshot(snap), 1),
            ("on_tick_order", lambda: ours.on_tick_order(order), lambda: plain.on_tick_order(order), 1),
            ("on_tick_trade", lambda: ours.on_tick_trade(trade), lambda: plain.on_tick_trade(trade), 1),
            # one complete bar time of the 300-code universe per batch; the day's history is released
            # after each batch on both sides, so memory stays flat
            ("on_bar (universe 300)", lambda: [ours.on_bar(b) for b in bars] and pb.history_bar.clear(),
             lambda: [plain.on_bar(b) for b in bars] and history_bar.clear(), len(bars)),
        ]:
            t_ours, t_plain = paired_time(call_ours, call_plain, 2000 // per)
            t_ours, t_plain = t_ours / per, t_plain / per
            rows.append(faster_by(t_ours, t_plain, 3, f"{case} [{label}]", "plain Python")
                        if label == "minimal host" else info(t_ours, t_plain, f"{case} [{label}]", "plain Python"))
        for _ in range(60):
            ours.on_snapshot(snap)
            plain.on_snapshot(snap)
        t_ours, t_plain = paired_time(lambda: pb.history_ticks("600000.SH", 60),
                                      lambda: history_ticks("600000.SH", 60), 2000)
        rows.append(info(t_ours, t_plain, f"history_ticks(code, 60) [{label}]", "plain Python"))
    finally:
        pb.event_queue = saved_queue
        RealEnvironment.set_instance(saved_env)
        pb.history_tick.clear()
        pb.history_bar.clear()
        history_tick.clear()
        history_bar.clear()
    return rows


def run():
    rows = time_cases("stand-in host", lambda: pb.RB(capacity=10000, dtype=object))
    saved = bind(minimal_host())
    try:
        rows += time_cases("minimal host", lambda: deque(maxlen=10000))
    finally:
        bind(saved)
    return rows


if __name__ == "__main__":
    print_table(run())

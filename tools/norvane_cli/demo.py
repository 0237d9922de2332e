"""`norvane-native demo`: every part of the three modules on the embedded sample market."""
import contextlib
import datetime
import io
import logging
import sys
import tempfile
import time
from types import SimpleNamespace

from norvane_cli import sample_market
from norvane_cli.main import record_table, run_algo_bars, table

WINDOWS = [(930, 1000), (1430, 1500)]


def heading(text):
    print()
    print(text)
    print("-" * len(text))


@contextlib.contextmanager
def timed(summary, part):
    started = time.perf_counter()
    yield
    summary.append((part, time.perf_counter() - started))


# ---------------------------------------------------------------------------------------------


def part_algo_bars(root, algo_dir, progress):
    heading("1. Daily VWAP/TWAP bars (AlgoStore), two windows, every instrument")
    multipliers = {code: mult for code, mult, _ in sample_market.instruments()}
    codes = [code for code, _, _ in sample_market.instruments()]
    results, failures = run_algo_bars(root / "minbar", algo_dir, WINDOWS, codes, jobs=2,
                                      multipliers=multipliers, progress=progress)
    rows = []
    for code in codes:
        for window in WINDOWS:
            bars = results.get((code, window))
            if bars is None:
                continue
            last = bars[-1]
            rows.append([code, f"{window[0]}-{window[1]}", len(bars), int(bars["date"][0]), int(last["date"]),
                         f"{float(last['VWAP']):.4f}", f"{float(last['TWAP']):.4f}", int(last["volume"])])
    print(table(rows, ["code", "window", "days", "first", "last", "last VWAP", "last TWAP", "last volume"]))
    code, day = sample_market.LIMIT_LOCKED
    locked_date = sample_market.trading_days()[day]
    bars = results.get((code, WINDOWS[0]))
    if bars is not None:
        rec = bars[bars["date"] == int(locked_date.strftime("%Y%m%d"))][0]
        print(f"{code} is locked at limit-up on {locked_date}: VWAP {float(rec['VWAP'])!r} is the limit price "
              f"exactly, not turnover / volume")
    return f"{len(results)} datasets for {len(codes)} instruments x {len(WINDOWS)} windows, {len(failures)} failures"


def part_bars_and_ticks(root):
    from norvane.tessel.mod.mod_quant_data.data_sources.quarrybin import H5MinBarStore, H5TicksLoader

    heading("2. One date's minute bars (H5MinBarStore) and ticks (H5TicksLoader)")
    store = H5MinBarStore(str(root / "minbar"))
    code = "600000.SH"
    first, last = store.get_date_range(code)
    bars = store.get_minute_bar(code, last, ["datetime", "open_price", "close_price", "volume", "high_limited",
                                            "low_limited"])
    print(f"{code}: minute bars from {first} to {last}; {len(bars)} bars on {last} (first 3):")
    print(record_table(bars, 3))
    loader = H5TicksLoader(str(root / "ticks"))
    ticks = loader.get_ticks_by_date(code, last)
    print(f"\n{code}: {len(ticks)} ticks on {last}, sorted by time (first 3 of 28 fields, 6 shown):")
    print(record_table(ticks[["date", "time", "last_price", "volume", "a1", "b1"]], 3))
    return f"{len(bars)} bars and {len(ticks)} ticks of {code} on {last}"


# ---------------------------------------------------------------------------------------------


class DemoOrder:
    """The engine's order, as far as the bridge uses it."""

    def __init__(self, order_id, market_code, side, price, quantity):
        self.order_id, self.market_code, self.side, self.price = order_id, market_code, side, price
        self.position_effect = "OPEN"
        self.quantity = quantity
        self.status = "PENDING_NEW"
        self.secondary_order_id = None
        self.avg_price = 0.0
        self.filled_quantity = 0
        self.unfilled_quantity = quantity
        self.frozen_cash = 0.0
        self.reject_reason = None

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        self.reject_reason = reason


def _describe(event):
    payload = {k: v for k, v in vars(event).items() if k != "event_type"}
    kind = getattr(event.event_type, "name", str(event.event_type))
    parts = []
    for key, value in payload.items():
        if key in ("order",):
            value = f"order(status={getattr(value.status, 'name', value.status)}, filled={value.filled_quantity}, " \
                    f"avg_price={value.avg_price:.4f})"
        elif key == "tick":
            value = f"tick({value._tick_dict['market_code']} last={value._tick_dict['last_price']})" \
                if hasattr(value, "_tick_dict") else "tick"
        elif isinstance(value, datetime.datetime):
            value = value.strftime("%H:%M:%S")
        elif key == "account":
            value = getattr(value, "name", type(value).__name__)
        elif key in ("trade", "algo_parent_order", "algo_child_order", "algo_child_trade"):
            value = type(value).__name__
        parts.append(f"{key}={value}")
    return kind, ", ".join(parts)


def part_live_session():
    import numpy as np

    from norvane.tessel.environment import Environment
    from norvane.tessel.model.instrument import Instrument
    from norvane.tessel.utils import pulsebridge
    from pyvanta.enums import AlgoControlType, OrderStatusType  # noqa: F401

    heading("3. A scripted live session through VantaStrategy (pulsebridge)")
    codes = ["600000.SH", "000001.SZ"]
    env = Environment()
    env._universe = set(codes)
    env.data_proxy = SimpleNamespace(instruments=lambda code: Instrument(code))
    env._accounts = {code: SimpleNamespace(name="stock account") for code in codes}
    previous_env = Environment.get_instance()
    Environment.set_instance(env)
    config = SimpleNamespace(base=SimpleNamespace(
        md_type="VaMD", accounts={"stock": "1001_atp"}, algo_account="2001_atx",
        trading_calendar=[np.datetime64("2000-01-03")]))  # today is no trading day: no real day timers
    quiet = logging.getLogger("norvane.system_log")
    level = quiet.level
    quiet.setLevel(logging.WARNING)
    try:
        strategy = pulsebridge.VantaStrategy(config)
        strategy.initialize(config)
        strategy.context.cancel_timers()  # the demo posts the day events itself
        start = len(pulsebridge.event_queue)  # events of earlier runs in this process are not shown
        t0 = 20240329093000000  # YYYYMMDDHHMMSSmmm
        strategy.on_login(SimpleNamespace(fund_account_id="1001", error_code=0, client_seq_id=1, error_msg=""))
        for i, code in enumerate(codes):
            sec, market = code.split(".")
            strategy.on_snapshot(SimpleNamespace(
                security_id=sec, market_type=market, orig_time=t0 + 3000 * i, open_price=7.1, close_price=0.0,
                high_price=7.3, low_price=7.0, total_value_trade=1.2e7, total_volume_trade=1.7e6,
                pre_close_price=7.05, ask_volume=[100] * 5, ask_price=[7.21 + 0.01 * k for k in range(5)],
                bid_volume=[200] * 5, bid_price=[7.20 - 0.01 * k for k in range(5)], high_limited=7.76,
                last_price=7.2 + 0.01 * i, low_limited=6.35, open_interest=0, prev_settlement=0.0, iopv=0.0,
                trading_phase_code="T"))
        for minute in (93100000, 93200000):
            for code in codes:
                sec, market = code.split(".")
                strategy.on_bar(SimpleNamespace(
                    security_id=sec, market_type=market, end_time=20240329000000000 + minute, open=7.2, close=7.21,
                    high=7.22, low=7.19, amount=7.2e5, volume=1e5, prev_close=7.05))
        order = DemoOrder(order_id=1, market_code="600000.SH", side="BUY", price=7.2, quantity=1000)
        pulsebridge.orders_dict["c-1"] = order

        def report(status, trade_qty, last_qty, counter=880001):
            return SimpleNamespace(
                client_order_id="c-1", security_id="600000", order_price=7.2, order_status=status, order_qty=1000,
                trade_qty=trade_qty, total_trade_value=trade_qty * 7.2, error_msg="", error_code=0,
                last_match_qty=last_qty, last_match_price=7.2, counter_order_id=counter, frozen_trade_value=7200.0)

        strategy.on_order(report(OrderStatusType.Sended, 0, 0))
        strategy.on_order(report(OrderStatusType.PartiallyFilled, 400, 400))
        strategy.on_order(report(OrderStatusType.PartiallyFilledPartiallyCancelled, 400, 0))
        strategy.on_algo_login(SimpleNamespace(client_seq_id=2, trader_id="2001", error_code=0, error_msg=""))
        strategy.on_create_algo_parent_order_res(SimpleNamespace(client_seq_id=3, sys_quote_id="P-1", error_code=0,
                                                                 error_msg=""))
        strategy.on_algo_parent_order_update(SimpleNamespace(sys_quote_id="P-1", status="running"))
        strategy.on_algo_child_order_update(SimpleNamespace(sys_quote_id="C-1", parent="P-1", status="sent"))
        strategy.on_algo_child_order_trade(SimpleNamespace(sys_quote_id="T-1", parent="P-1", qty=300))
        strategy.send_before_trading_event()
        strategy.send_open_auction_event()
        strategy.send_after_trading_event()
        queue = pulsebridge.event_queue  # drained as the engine does: oldest first
        events = [queue.popleft() for _ in range(len(queue))][start:]
    finally:
        quiet.setLevel(level)
        Environment.set_instance(previous_env)
    rows = [[i + 1, *_describe(e)] for i, e in enumerate(events)]
    print(table(rows, ["#", "event", "payload"]))
    print(f"history: {len(pulsebridge.history_ticks('600000.SH', 60))} tick(s) and "
          f"{len(pulsebridge.history_bars('600000.SH', 0))} bar(s) of 600000.SH; "
          f"orders_dict emptied after trading: {not pulsebridge.orders_dict}")
    return f"{len(events)} engine events drained from the queue"


# ---------------------------------------------------------------------------------------------


def part_stock_status():
    import pandas as pd

    import norvane.gid as gid
    from norvane.data.wexclient.commons import ApiRspCode
    from norvane.tessel.zered.services import shareflags

    heading("4. Stock-status queries (shareflags) against scripted gateway answers")
    ok = ApiRspCode.SUCCESS
    days = [d.strftime("%Y-%m-%d") for d in pd.bdate_range("2024-03-25", "2024-03-29")]
    saved = dict(gid.responses)
    gid.responses.update({
        "trade_calendar": ({"trade_days": days}, ok, "ok"),
        "get_suspended_days": lambda *a, **k: (
            (pd.DataFrame({"market_code": ["600000.SH"], "trade_date": [pd.Timestamp("2024-03-27").value]}), ok, "ok")
            if k else
            (pd.DataFrame({"market_code": ["600000.SH", "600000.SH"],
                           "trade_date": ["2024-03-27", "2024-03-28"]}), ok, "ok")),
        "st_days": (pd.DataFrame({"trade_days": []}), ok, "ok"),
    })
    try:
        flags = shareflags.is_suspended("600000.SH", start_date="2024-03-25", end_date="2024-03-29")
        print("is_suspended('600000.SH', 2024-03-25 .. 2024-03-29):")
        print(flags.to_string())
        st = shareflags.is_st_stock("600000.SH", start_date="2024-03-25", end_date="2024-03-29")
        print(f"\nis_st_stock: {int(st.iloc[:, 0].sum())} ST day(s) of {len(st)}")
        days_off = shareflags.get_suspend_days(["600000.SH", "000001.SZ"], "2024-03-25", "2024-03-29")
        print(f"get_suspend_days: {days_off}")
    finally:
        gid.responses.clear()
        gid.responses.update(saved)
    return "is_suspended, is_st_stock, get_suspend_days"


def run(args):
    progress = not args.no_progress and sys.stderr.isatty()
    summary = []
    with timed(summary, "sample market"):
        root = sample_market.ensure(args.root)
    print(f"Sample market: {root}")
    print("  3 stocks and 1 futures contract with night sessions, "
          f"{sample_market.TRADING_DAYS} trading days of minute bars, ticks of the last {sample_market.TICK_DAYS} days")
    lines = []
    with tempfile.TemporaryDirectory(prefix="norvane-algo-") as algo_dir:
        parts = [
            ("algo bars", lambda: part_algo_bars(root, algo_dir, progress)),
            ("minute bars and ticks", lambda: part_bars_and_ticks(root)),
            ("live session", part_live_session),
            ("stock status", part_stock_status),
        ]
        for name, fn in parts:
            started = time.perf_counter()
            what = fn()
            lines.append((name, what, time.perf_counter() - started))
    heading("Summary")
    for name, what, seconds in lines:
        print(f"{name:<22} {seconds * 1000:8.1f} ms  {what}")
    return 0


if __name__ == "__main__":
    sys.exit(run(SimpleNamespace(root=None, no_progress=False)))

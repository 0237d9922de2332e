"""VantaStrategy: construction, start-up (brokers, subscription, timers) and login."""
import datetime as dt
import logging

import pytest
from pyvanta.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType

from support.bridge import MISSING, bridge, login_res, make_config  # noqa: F401 (fixture)


def test_constructor_sets_its_attributes_in_order(bridge):
    pb = bridge.pb
    config = make_config()

    class Clock(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return cls(2030, 5, 6, 7, 8, 9)

    real = pb.datetime
    pb.datetime = Clock  # read when the constructor runs, like any module name
    try:
        s = pb.VantaStrategy(config)
    finally:
        pb.datetime = real
    assert list(vars(s)) == ["context", "logged_in", "order_num", "bar_cnt", "current_trade_dt", "first_dt", "config"]
    assert (s.logged_in, s.order_num, s.bar_cnt, s.current_trade_dt) == (False, 0, 0, 0)
    assert s.first_dt == dt.date(2030, 5, 6) and s.config is config
    assert s.context.calls == []  # the SDK base class ran
    assert pb.VantaStrategy(config=config).config is config


def test_subclass_construction_runs_the_sdk_base(bridge):
    class Mine(bridge.pb.VantaStrategy):
        def __init__(self, config):
            super().__init__(config)
            self.extra = 1

    s = Mine(make_config())
    assert s.extra == 1 and s.bar_cnt == 0 and s.context is not None


def test_initialize_registers_everything_in_order(bridge, caplog):
    pb = bridge.pb
    config = make_config(md_type="VaMD", order_way="fast", accounts={"a": "111_atp", "b": "222_OES"},
                         algo_account="333_atx")
    s = bridge.strategy(config)
    with caplog.at_level(logging.INFO, logger="norvane.system_log"):
        assert s.initialize(make_config(md_type="AMD", accounts={})) is None  # the constructor's config governs
    expected = [
        ("add_md_broker", MDType.VaMD),
        ("set_order_way", "fast"),
        ("add_td_broker", TDType.ATP),
        ("add_td_broker", TDType.OES),
        ("add_algo_broker", AlgoType.ATX),
        ("subscribe", MDType.VaMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m"),
    ]
    assert s.context.calls == expected
    assert s.timer_calls == [expected]  # set_timer once, last
    assert pb.vanta_params == {"vanta_md": MDType.VaMD, "vanta_td": TDType.OES, "vanta_context": s.context}
    assert list(pb.vanta_params) == ["vanta_md", "vanta_td", "vanta_context"]
    assert caplog.messages == ["VantaStrategy initialize..."]


@pytest.mark.parametrize("md_type, expected", [
    (MISSING, MDType.AMD), ("AMD", MDType.AMD), ("vamd", MDType.AMD), ("VAMD", MDType.AMD), ("", MDType.AMD),
    (None, MDType.AMD), ("VaMD ", MDType.AMD), ("VaMD", MDType.VaMD),
])
def test_only_the_exact_vamd_text_picks_vamd(bridge, md_type, expected):
    s = bridge.strategy(make_config(md_type=md_type))
    s.initialize(None)
    assert s.context.calls[0] == ("add_md_broker", expected)
    assert s.context.calls[-1][:2] == ("subscribe", expected)
    assert bridge.pb.vanta_params["vanta_md"] is expected


@pytest.mark.parametrize("algo_account, adds", [
    ("9_ATX", True), ("9_atx", True), ("9_Atx", True), ("9_xtp", False), (None, False), (MISSING, False),
])
def test_algo_broker_only_for_an_atx_destination(bridge, algo_account, adds):
    s = bridge.strategy(make_config(algo_account=algo_account))
    s.initialize(None)
    assert (("add_algo_broker", AlgoType.ATX) in s.context.calls) is adds
    assert s.context.calls[-1][0] == "subscribe" and len(s.timer_calls) == 1


def test_empty_accounts_still_subscribe_and_set_timers(bridge):
    s = bridge.strategy(make_config(accounts={}))
    s.initialize(None)
    assert [c[0] for c in s.context.calls] == ["add_md_broker", "subscribe"]
    assert "vanta_td" not in bridge.pb.vanta_params and len(s.timer_calls) == 1


@pytest.mark.parametrize("config, error, message, calls_before", [
    (make_config(accounts={"a": "111_ATP", "b": "222"}), ValueError,
     r"^not enough values to unpack \(expected 2, got 1\)$", ["add_md_broker", "add_td_broker"]),
    (make_config(accounts={"a": "1_2_ATP"}), ValueError, r"^too many values to unpack \(expected 2\)$",
     ["add_md_broker"]),
    (make_config(accounts={"a": "111_ATP"}, algo_account="atx"), ValueError,
     r"^not enough values to unpack \(expected 2, got 1\)$", ["add_md_broker", "add_td_broker"]),
    (make_config(accounts={"a": "111_NOPE"}), ValueError, "unknown trading destination 'NOPE'", ["add_md_broker"]),
    (make_config(accounts=MISSING, order_way="w"), AttributeError, "accounts", ["add_md_broker", "set_order_way"]),
    (make_config(accounts={"a": 5}), AttributeError, "split", ["add_md_broker"]),
])
def test_bad_configuration_stops_start_up_where_it_fails(bridge, config, error, message, calls_before):
    s = bridge.strategy(config)
    with pytest.raises(error, match=message):
        s.initialize(config)
    assert [c[0] for c in s.context.calls] == calls_before  # brokers already added stay added
    assert s.timer_calls == [] and "vanta_context" not in bridge.pb.vanta_params


def test_initialize_calls_set_timer_through_the_instance(bridge):
    # Without an override the class's own set_timer is looked up on self (a subclass may replace it).
    calls = []

    class Mine(bridge.pb.VantaStrategy):
        def set_timer(self):
            calls.append("set_timer")

    s = Mine(make_config())
    s.initialize(config=None)
    assert calls == ["set_timer"]


@pytest.mark.parametrize("error_code, error_msg", [(0, ""), (1001, "bad password"), ("E7", None)])
def test_login_posts_an_event_whatever_the_code(bridge, caplog, error_code, error_msg):
    s = bridge.strategy()
    res = login_res(fund_account_id=880012, error_code=error_code, client_seq_id=41, error_msg=error_msg)
    with caplog.at_level(logging.INFO, logger="norvane.system_log"):
        assert s.on_login(login_res=res) is None
    assert caplog.messages == [f"on_login fund_account_id:880012, error_code:{error_code}"]
    (event,) = bridge.events()
    assert event.event_type is bridge.pb.EVENT.LOGIN
    assert vars(event) == {"rid": 41, "account_id": 880012, "code": error_code, "msg": error_msg}
    assert list(vars(event)) == ["rid", "account_id", "code", "msg"]
    assert s.logged_in is False and s.on_initialize() is None


def test_login_reads_event_names_when_it_runs(bridge):
    pb = bridge.pb
    made = []
    real = pb.Event
    pb.Event = lambda event_type, **payload: made.append((event_type, payload)) or ("patched", event_type)
    try:
        bridge.strategy().on_login(login_res())
    finally:
        pb.Event = real
    assert made == [(pb.EVENT.LOGIN, {"rid": 7, "account_id": "1001", "code": 0, "msg": ""})]
    assert bridge.events() == [("patched", pb.EVENT.LOGIN)]


def test_class_defines_only_methods_in_its_documented_order():
    from norvane.tessel.utils import pulsebridge

    cls = pulsebridge.VantaStrategy
    assert cls.__bases__ == (pulsebridge.strategy.VantaStrategy,)
    members = [k for k in vars(cls) if not k.startswith("__") or k == "__init__"]
    assert members == [
        "__init__", "initialize", "on_initialize", "on_switch_day", "on_snapshot", "on_tick_order",
        "on_tick_trade", "on_bar", "on_login", "on_query_asset", "on_query_position", "on_order", "on_trade",
        "on_order_action_error", "on_algo_login", "on_create_algo_parent_order_res",
        "on_cancel_algo_parent_order_res", "on_control_algo_parent_order_res", "on_algo_parent_order_update",
        "on_algo_child_order_update", "on_algo_child_order_trade", "create_time_listener", "send_day_event",
        "send_before_trading_event", "send_after_trading_event", "send_open_auction_event", "set_timer",
    ]

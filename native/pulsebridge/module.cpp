// pulsebridge: the bridge from the live-trading SDK to the engine.
#include "common/module_init.hpp"
#include "common/names.hpp"
#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

Globals G;

namespace {

void body(nb::module_ m) {
    G.bind(m);
    m.attr("Environment") = import_from("norvane.tessel.environment", "Environment");
    m.attr("EVENT") = import_from("norvane.tessel.core.events", "EVENT");
    m.attr("Event") = import_from("norvane.tessel.core.events", "Event");
    m.attr("TickObject") = import_from("norvane.tessel.model.tick", "TickObject");
    m.attr("Trade") = import_from("norvane.tessel.model.trade", "Trade");
    m.attr("L2Order") = import_from("norvane.tessel.model.l2_order", "L2Order");
    m.attr("L2Transaction") = import_from("norvane.tessel.model.l2_transaction", "L2Transaction");
    for (const char *n : {"convert_int_to_whole_date", "convert_int_to_datetime"})
        m.attr(n) = import_from("norvane.tessel.utils.datetime_func", n);
    for (const char *n : {"get_exchane_from_vanta_mdtype", "get_vanta_tdtype", "get_side_from_vanta_l2_order",
                          "get_order_type_from_vanta_l2_order", "get_trade_type_from_vanta",
                          "get_l2order_type_from_vanta"})
        m.attr(n) = import_from("norvane.tessel.utils.trade_func", n);
    m.attr("system_log") = import_from("norvane.tessel.utils.logger", "system_log");
    m.attr("user_system_log") = import_from("norvane.tessel.utils.logger", "user_system_log");
    m.attr("AlgoParentOrder") = import_from("norvane.tessel.model.algo_parent_order", "AlgoParentOrder");
    m.attr("AlgoChildOrder") = import_from("norvane.tessel.model.algo_child_order", "AlgoChildOrder");
    m.attr("AlgoChildTrade") = import_from("norvane.tessel.model.algo_child_trade", "AlgoChildTrade");
    for (const char *n : {"ORDER_STATUS", "POSITION_DIRECTION", "SIDE"})
        m.attr(n) = import_from("norvane.tessel.const", n);
    m.attr("Asset") = import_from("norvane.tessel.portfolio.account", "Asset");
    m.attr("Position") = import_from("norvane.tessel.portfolio.position", "Position");
    m.attr("RB") = import_from("numpy_ringbuffer", "RingBuffer");
    m.attr("np") = import_module("numpy");
    m.attr("deque") = import_from("collections", "deque");
    m.attr("copy") = import_module("copy");
    for (const char *n : {"datetime", "time", "timedelta"})
        m.attr(n) = import_from("datetime", n);
    import_module("pyvanta.strategy");
    m.attr("strategy") = import_module("pyvanta").attr("strategy");
    import_star(m, "pyvanta.enums");

    define_state(m);

    PyClass cls(m, "VantaStrategy", nb::make_tuple(G[Name("strategy")].attr("VantaStrategy")));
    add_startup_methods(cls);
    add_market_data_methods(cls);
    add_account_order_methods(cls);
    add_algo_methods(cls);
    add_timer_methods(cls);
    cls.order({"__init__", "initialize", "on_initialize", "on_switch_day", "on_snapshot", "on_tick_order",
               "on_tick_trade", "on_bar", "on_login", "on_query_asset", "on_query_position", "on_order", "on_trade",
               "on_order_action_error", "on_algo_login", "on_create_algo_parent_order_res",
               "on_cancel_algo_parent_order_res", "on_control_algo_parent_order_res", "on_algo_parent_order_update",
               "on_algo_child_order_update", "on_algo_child_order_trade", "create_time_listener", "send_day_event",
               "send_before_trading_event", "send_after_trading_event", "send_open_auction_event", "set_timer"});
    set_strategy_class(cls.finish());
}

}  // namespace
}  // namespace norvane::pulsebridge

NORVANE_MODULE(pulsebridge, norvane::pulsebridge::body)

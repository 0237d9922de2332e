// Account, position and order reports of the trading SDK, carried into the engine as events.
#include "pulsebridge/bridge_calls.hpp"

namespace norvane::pulsebridge {

namespace {

using namespace calls;

const Name kOrdersDict{"orders_dict"};
const Name kEnvironment{"Environment"};
const Name kOrderStatusType{"OrderStatusType"};
const Name kORDER_STATUS{"ORDER_STATUS"};
const Name kTrade{"Trade"};
const Name kSystemLog{"system_log"};
const Name kUserSystemLog{"user_system_log"};
const Name kAsset{"Asset"};
const Name kPosition{"Position"};
const Name kPOSITION_DIRECTION{"POSITION_DIRECTION"};
const Name kExchange{"get_exchane_from_vanta_mdtype"};

const Name evQueryAccount{"QUERY_ACCOUNT"};
const Name evQueryPosition{"QUERY_POSITION"};
const Name evCreationPass{"ORDER_CREATION_PASS"};
const Name evTrade{"TRADE"};
const Name evCancellationPass{"ORDER_CANCELLATION_PASS"};
const Name evPendingCancel{"ORDER_PENDING_CANCEL"};
const Name evUnsolicitedUpdate{"ORDER_UNSOLICITED_UPDATE"};
const Name evCancellationReject{"ORDER_CANCELLATION_REJECT"};

nb::object zero() { return nb::int_(0); }

// The engine account that order events carry.
nb::object account_of(nb::handle engine_order) {
    return G[kEnvironment].attr("get_instance")().attr("get_account")(engine_order.attr("market_code"));
}

void on_query_asset(nb::handle, nb::handle asset_res, nb::handle request_id, nb::handle code, nb::handle msg) {
    G[kSystemLog].attr("info")(text({nb::str("on_query_asset, "), asset_res.attr("fund_account_id"),
                                     nb::str(", leaves_value:"), asset_res.attr("leaves_value"), nb::str(" code "),
                                     code, nb::str("  ms "), msg}));
    if (compare(code, zero(), Py_NE)) {
        post(evQueryAccount, "rid"_a = request_id, "account_id"_a = asset_res.attr("fund_account_id"),
             "code"_a = code, "msg"_a = msg);
        return;
    }
    // Fields are read one by one, in the order given (C++ argument order is unspecified).
    nb::object account_id = asset_res.attr("fund_account_id");
    nb::object fields[7];
    const char *names[7] = {"fund_account_id", "available_t1", "frozen_all",       "market_value",
                            "total_asset",     "leaves_value", "init_leaves_value"};
    for (int i = 0; i < 7; ++i)
        fields[i] = asset_res.attr(names[i]);
    nb::object asset = G[kAsset](fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]);
    post(evQueryAccount, "rid"_a = request_id, "account_id"_a = account_id, "asset"_a = asset);
}

// One engine position (long) from one SDK position.
nb::object position_of(nb::handle pos) {
    nb::object code = add(pos.attr("security_id"), nb::str("."));
    code = add(code, G[kExchange](pos.attr("market_id")));
    nb::object long_ = G[kPOSITION_DIRECTION].attr("LONG");
    nb::object position = G[kPosition](code, long_, pos.attr("init_qty"));
    nb::dict state;
    state["quantity"] = pos.attr("leaves_qty");
    state["available_qty"] = pos.attr("available_qty");
    state["avg_price"] = pos.attr("cost_price");
    state["last_price"] = pos.attr("last_price");
    state["market_value"] = pos.attr("market_value");
    state["daily_pnl"] = pos.attr("profit_loss");
    position.attr("set_state")(state);
    return position;
}

void on_query_position(nb::handle, nb::handle result, nb::handle request_id, nb::handle code, nb::handle msg) {
    // Code and message are formatted with str(): the SDK gives an int code, which plain
    // concatenation would refuse on every call.
    G[kSystemLog].attr("info")(text({nb::str("on_query_position: code:"), code, nb::str(", msg:"), msg}));
    if (compare(code, zero(), Py_NE)) {
        post(evQueryAccount, "rid"_a = request_id, "code"_a = code, "msg"_a = msg);
        return;
    }
    if (!PyList_CheckExact(result.ptr()) || PyList_GET_SIZE(result.ptr()) == 0)
        return;
    nb::list positions;
    // Walk the list as a for loop does (its length read at each step).
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result.ptr()); ++i) {
        nb::object pos = nb::borrow(PyList_GET_ITEM(result.ptr(), i));
        try {
            positions.append(position_of(pos));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            G[kUserSystemLog].attr("warning")(text({nb::str("on_query_position position do not add: "),
                                                    pos.attr("security_id"), nb::str("  exception: "),
                                                    e.value()}));
        }
    }
    post(evQueryPosition, "rid"_a = request_id, "positions"_a = positions);
}

// The fill part of a fill or cancel report: the engine trade and the order's cumulative view.
void fill_step(nb::handle report, nb::handle engine_order, nb::handle account, nb::handle statuses,
               nb::handle order_status) {
    if (!compare(report.attr("last_match_qty"), zero(), Py_GT))
        return;
    // Values read one by one, in keyword order (C++ argument order is unspecified).
    nb::object order_id = engine_order.attr("order_id"), price = report.attr("last_match_price");
    nb::object amount = report.attr("last_match_qty"), side = engine_order.attr("side");
    nb::object effect = engine_order.attr("position_effect"), code = engine_order.attr("market_code");
    nb::object frozen_price = engine_order.attr("price");
    nb::object trade = G[kTrade].attr("__from_create__")("order_id"_a = order_id, "price"_a = price,
                                                         "amount"_a = amount, "side"_a = side,
                                                         "position_effect"_a = effect, "market_code"_a = code,
                                                         "frozen_price"_a = frozen_price);
    nb::object trade_qty = report.attr("trade_qty");
    // A report with a match but no cumulative quantity would divide by zero and lose the fill:
    // keep the previous average price and deliver the trade.
    if (compare(trade_qty, zero(), Py_NE)) {
        PyObject *avg = PyNumber_TrueDivide(report.attr("total_trade_value").ptr(), trade_qty.ptr());
        if (!avg)
            throw nb::python_error();
        nb::setattr(engine_order, "avg_price", nb::steal(avg));
    }
    nb::setattr(engine_order, "filled_quantity", report.attr("trade_qty"));
    nb::object order_qty = report.attr("order_qty");
    nb::setattr(engine_order, "unfilled_quantity", order_qty - report.attr("trade_qty"));
    if (report.attr("order_status").equal(statuses.attr("Filled")))
        nb::setattr(engine_order, "status", order_status.attr("FILLED"));
    else if (report.attr("order_status").equal(statuses.attr("PartiallyFilled")))
        nb::setattr(engine_order, "status", order_status.attr("PARTIALLY_FILLED"));
    post(evTrade, "account"_a = account, "trade"_a = trade, "order"_a = deepcopy(engine_order));
}

void on_order(nb::handle, nb::handle order) {
    G[kSystemLog].attr("info")(text({
        nb::str("on_order:"), order.attr("client_order_id"), nb::str(", symbol: "), order.attr("security_id"),
        nb::str(", price:"), order.attr("order_price"), nb::str(", status:"), order.attr("order_status"),
        nb::str(", order_qty:"), order.attr("order_qty"), nb::str(", trade_qty:"), order.attr("trade_qty"),
        nb::str(", total_trade_value: "), order.attr("total_trade_value"), nb::str(", error_msg:"),
        order.attr("error_msg"), nb::str(", last_match_qty: "), order.attr("last_match_qty")}));
    nb::object orders = G[kOrdersDict];
    nb::object client_order_id = order.attr("client_order_id");
    if (!contains(orders, client_order_id))
        return;
    nb::object engine_order = orders[client_order_id];
    nb::object account = account_of(engine_order);
    nb::object st = G[kOrderStatusType];
    nb::object order_status = G[kORDER_STATUS];
    // The report's status is read afresh for every test, as the status table is walked.
    auto is = [&](const char *member) { return order.attr("order_status").equal(st.attr(member)); };

    if (is("UnSend") || is("Sended")) {
        nb::setattr(engine_order, "secondary_order_id", order.attr("counter_order_id"));
        engine_order.attr("set_frozen_cash")(order.attr("frozen_trade_value"));
        if (truthy(order.attr("counter_order_id")) && compare(order.attr("counter_order_id"), zero(), Py_GT) &&
            compare(engine_order.attr("status"), order_status.attr("ACTIVE"), Py_NE)) {
            nb::setattr(engine_order, "status", order_status.attr("ACTIVE"));
            post(evCreationPass, "account"_a = account, "order"_a = deepcopy(engine_order));
        }
    } else if (is("PartiallyFilled") || is("Filled") || is("PartiallyFilledPartiallyCancelled") ||
               is("WaitCancelled") || is("PartiallyFilledWaitCancelled") || is("Cancelled")) {
        fill_step(order, engine_order, account, st, order_status);
        if (is("PartiallyFilledPartiallyCancelled") || is("Cancelled")) {
            nb::setattr(engine_order, "status", order_status.attr("CANCELLED"));
            post(evCancellationPass, "account"_a = account, "order"_a = deepcopy(engine_order));
        } else if (is("PartiallyFilledWaitCancelled") || is("WaitCancelled")) {
            if (compare(engine_order.attr("filled_quantity"), zero(), Py_GT))
                nb::setattr(engine_order, "status", order_status.attr("PARTIALLY_FILLED"));
            post(evPendingCancel, "account"_a = account, "order"_a = deepcopy(engine_order));
        }
    } else if (is("Reject")) {
        // Each part goes through str(): a non-string message must still reject the order.
        nb::str reason = text({order.attr("error_code"), nb::str("_"), order.attr("error_msg")});
        engine_order.attr("mark_rejected")(reason);
        engine_order.attr("set_frozen_cash")(order.attr("frozen_trade_value"));
        post(evUnsolicitedUpdate, "account"_a = account, "order"_a = deepcopy(engine_order));
    }
}

void on_order_action_error(nb::handle, nb::handle error) {
    nb::object orders = G[kOrdersDict];
    nb::object client_order_id = error.attr("client_order_id");
    if (!contains(orders, client_order_id))
        return;
    nb::object engine_order = orders[client_order_id];
    nb::object account = account_of(engine_order);
    post(evCancellationReject, "account"_a = account, "order"_a = deepcopy(engine_order));
}

}  // namespace

void add_account_order_methods(PyClass &cls) {
    cls.def("on_query_asset", &on_query_asset, arg("self"), arg("asset_res"), arg("request_id"), arg("code"),
            arg("msg"))
        .def("on_query_position", &on_query_position, arg("self"), arg("query_position_res"), arg("request_id"),
             arg("code"), arg("msg"))
        .def("on_order", &on_order, arg("self"), arg("order"))
        .def("on_trade", [](nb::handle, nb::handle) {}, arg("self"), arg("trade"))
        .def("on_order_action_error", &on_order_action_error, arg("self"), arg("order_action_error"));
}

}  // namespace norvane::pulsebridge

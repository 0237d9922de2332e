// Account, position and order reports of the trading SDK, carried into the engine as events.
#include "pulsebridge/bridge_calls.hpp"

namespace norvane::pulsebridge {

namespace {

// Declared here (not a using-directive) so these helpers hide any same-named module helper.
using calls::add;
using calls::compare;
using calls::contains;
using calls::deepcopy;
using calls::event_type;
using calls::get;
using calls::lit;
using calls::post;
using calls::text;
using calls::truthy;
using namespace nb::literals;

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
    static const Name get_instance{"get_instance"}, get_account{"get_account"}, market_code{"market_code"};
    nb::object env = get(G[kEnvironment], get_instance)();
    return get(env, get_account)(get(engine_order, market_code));
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

// Attribute and member names of the hot path, interned once.
namespace n {
const Name client_order_id{"client_order_id"}, security_id{"security_id"}, order_price{"order_price"},
    order_status{"order_status"}, order_qty{"order_qty"}, trade_qty{"trade_qty"},
    total_trade_value{"total_trade_value"}, error_msg{"error_msg"}, error_code{"error_code"},
    last_match_qty{"last_match_qty"}, last_match_price{"last_match_price"}, counter_order_id{"counter_order_id"},
    frozen_trade_value{"frozen_trade_value"};
const Name order_id{"order_id"}, side{"side"}, position_effect{"position_effect"}, market_code{"market_code"},
    price{"price"}, status{"status"}, secondary_order_id{"secondary_order_id"}, avg_price{"avg_price"},
    filled_quantity{"filled_quantity"}, unfilled_quantity{"unfilled_quantity"}, set_frozen_cash{"set_frozen_cash"},
    mark_rejected{"mark_rejected"}, info{"info"}, from_create{"__from_create__"};
const Name UnSend{"UnSend"}, Sended{"Sended"}, PartiallyFilled{"PartiallyFilled"}, Filled{"Filled"},
    PartiallyFilledPartiallyCancelled{"PartiallyFilledPartiallyCancelled"}, WaitCancelled{"WaitCancelled"},
    PartiallyFilledWaitCancelled{"PartiallyFilledWaitCancelled"}, Cancelled{"Cancelled"}, Reject{"Reject"};
const Name ACTIVE{"ACTIVE"}, FILLED{"FILLED"}, PARTIALLY_FILLED{"PARTIALLY_FILLED"}, CANCELLED{"CANCELLED"};
}  // namespace n

void set(nb::handle obj, const Name &name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.key(), value.ptr()) != 0)
        throw nb::python_error();
}

// One report applied to its engine order. The report's status is read afresh for every test,
// as the status table is walked.
struct OrderReport {
    nb::handle report, engine_order, account;
    nb::object statuses = G[kOrderStatusType];
    nb::object order_status = G[kORDER_STATUS];

    bool is(const Name &member) const { return get(report, n::order_status).equal(get(statuses, member)); }
    void set_status(const Name &member) const { set(engine_order, n::status, get(order_status, member)); }
    void post_order(const Name &event) const {
        post(event, "account"_a = account, "order"_a = deepcopy(engine_order));
    }

    // The fill part of a fill or cancel report: the engine trade and the order's cumulative view.
    void fill_step() const {
        if (!compare(get(report, n::last_match_qty), zero(), Py_GT))
            return;
        // Values read one by one, in keyword order (C++ argument order is unspecified).
        nb::object order_id = get(engine_order, n::order_id), price = get(report, n::last_match_price);
        nb::object amount = get(report, n::last_match_qty), side = get(engine_order, n::side);
        nb::object effect = get(engine_order, n::position_effect), code = get(engine_order, n::market_code);
        nb::object frozen_price = get(engine_order, n::price);
        nb::object trade = get(G[kTrade], n::from_create)("order_id"_a = order_id, "price"_a = price,
                                                          "amount"_a = amount, "side"_a = side,
                                                          "position_effect"_a = effect, "market_code"_a = code,
                                                          "frozen_price"_a = frozen_price);
        nb::object trade_qty = get(report, n::trade_qty);
        // A report with a match but no cumulative quantity would divide by zero and lose the fill:
        // keep the previous average price and deliver the trade.
        if (compare(trade_qty, zero(), Py_NE)) {
            nb::object value = get(report, n::total_trade_value);
            PyObject *avg = PyNumber_TrueDivide(value.ptr(), trade_qty.ptr());
            if (!avg)
                throw nb::python_error();
            set(engine_order, n::avg_price, nb::steal(avg));
        }
        set(engine_order, n::filled_quantity, get(report, n::trade_qty));
        nb::object order_qty = get(report, n::order_qty);
        set(engine_order, n::unfilled_quantity, order_qty - get(report, n::trade_qty));
        if (is(n::Filled))
            set_status(n::FILLED);
        else if (is(n::PartiallyFilled))
            set_status(n::PARTIALLY_FILLED);
        post(evTrade, "account"_a = account, "trade"_a = trade, "order"_a = deepcopy(engine_order));
    }

    void apply() const {
        if (is(n::UnSend) || is(n::Sended)) {
            set(engine_order, n::secondary_order_id, get(report, n::counter_order_id));
            get(engine_order, n::set_frozen_cash)(get(report, n::frozen_trade_value));
            if (truthy(get(report, n::counter_order_id)) && compare(get(report, n::counter_order_id), zero(), Py_GT) &&
                compare(get(engine_order, n::status), get(order_status, n::ACTIVE), Py_NE)) {
                set_status(n::ACTIVE);
                post_order(evCreationPass);
            }
        } else if (is(n::PartiallyFilled) || is(n::Filled) || is(n::PartiallyFilledPartiallyCancelled) ||
                   is(n::WaitCancelled) || is(n::PartiallyFilledWaitCancelled) || is(n::Cancelled)) {
            fill_step();
            if (is(n::PartiallyFilledPartiallyCancelled) || is(n::Cancelled)) {
                set_status(n::CANCELLED);
                post_order(evCancellationPass);
            } else if (is(n::PartiallyFilledWaitCancelled) || is(n::WaitCancelled)) {
                if (compare(get(engine_order, n::filled_quantity), zero(), Py_GT))
                    set_status(n::PARTIALLY_FILLED);
                post_order(evPendingCancel);
            }
        } else if (is(n::Reject)) {
            // Each part goes through str(): a non-string message must still reject the order.
            static const Name underscore{"_"};
            nb::str reason = text({get(report, n::error_code), lit(underscore), get(report, n::error_msg)});
            get(engine_order, n::mark_rejected)(reason);
            get(engine_order, n::set_frozen_cash)(get(report, n::frozen_trade_value));
            post_order(evUnsolicitedUpdate);
        }
    }
};

void on_order(nb::handle, nb::handle order) {
    static const Name l0{"on_order:"}, l1{", symbol: "}, l2{", price:"}, l3{", status:"}, l4{", order_qty:"},
        l5{", trade_qty:"}, l6{", total_trade_value: "}, l7{", error_msg:"}, l8{", last_match_qty: "};
    nb::str line = text({lit(l0), get(order, n::client_order_id), lit(l1), get(order, n::security_id), lit(l2),
                         get(order, n::order_price), lit(l3), get(order, n::order_status), lit(l4),
                         get(order, n::order_qty), lit(l5), get(order, n::trade_qty), lit(l6),
                         get(order, n::total_trade_value), lit(l7), get(order, n::error_msg), lit(l8),
                         get(order, n::last_match_qty)});
    get(G[kSystemLog], n::info)(line);
    nb::object orders = G[kOrdersDict];
    nb::object client_order_id = get(order, n::client_order_id);
    if (!contains(orders, client_order_id))
        return;
    nb::object engine_order = orders[client_order_id];
    nb::object account = account_of(engine_order);
    OrderReport{order, engine_order, account}.apply();
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

// Algo broker answers: login and parent-order results forwarded as events, and the parent-order,
// child-order and child-trade updates kept as the engine's algo objects.
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

void on_algo_login(nb::handle, nb::handle res) {
    static const Name ev{"ALGO_LOGIN"};
    // Read one by one: the SDK's fields are read in payload order (C++ argument order is unspecified).
    nb::object req_id = res.attr("client_seq_id"), account = res.attr("trader_id");
    nb::object code = res.attr("error_code"), msg = res.attr("error_msg");
    post(ev, "req_id"_a = req_id, "algo_account"_a = account, "code"_a = code, "msg"_a = msg);
}

void on_create_res(nb::handle, nb::handle res) {
    static const Name ev{"PARENT_ORDER_CREATE"};
    nb::object req_id = res.attr("client_seq_id"), id = res.attr("sys_quote_id");
    nb::object code = res.attr("error_code"), msg = res.attr("error_msg");
    post(ev, "req_id"_a = req_id, "parent_order_id"_a = id, "code"_a = code, "msg"_a = msg);
}

// Cancel, pause and resume answers: id, code and message, read in that order.
void post_parent_result(const Name &ev, nb::handle res) {
    nb::object id = res.attr("sys_quote_id");
    nb::object code = res.attr("error_code"), msg = res.attr("error_msg");
    post(ev, "parent_order_id"_a = id, "code"_a = code, "msg"_a = msg);
}

void on_cancel_res(nb::handle, nb::handle res) {
    static const Name ev{"PARENT_ORDER_CANCEL"};
    post_parent_result(ev, res);
}

void on_control_res(nb::handle, nb::handle res) {
    static const Name evPause{"PARENT_ORDER_PAUSE"}, evResume{"PARENT_ORDER_RESUME"};
    // Imported on every call, so whatever the SDK module holds now is what is compared.
    nb::object control = import_from("pyvanta.enums", "AlgoControlType");
    const Name *ev = nullptr;
    // The SDK names the field differently for the two answers: pause reads control_type,
    // resume reads algo_control_type.
    if (res.attr("control_type").equal(control.attr("Pause")))
        ev = &evPause;
    else if (res.attr("algo_control_type").equal(control.attr("Resume")))
        ev = &evResume;
    else
        return;
    post_parent_result(*ev, res);
}

// One update: the new engine object from the report and the one stored before (or None),
// stored under the report's sys_quote_id, and posted as a snapshot.
void update(nb::handle report, const Name &dict_name, const Name &class_name, const Name &event,
            const char *keyword) {
    nb::object store = G[dict_name];
    nb::object previous = nb::none();
    if (contains(store, report.attr("sys_quote_id")))
        previous = store.attr("get")(report.attr("sys_quote_id"));
    nb::object current = G[class_name].attr("from_vanta")(report, previous);
    store[report.attr("sys_quote_id")] = current;
    post(event, nb::arg(keyword) = deepcopy(current));
}

void on_parent_update(nb::handle, nb::handle parent_order) {
    static const Name dict{"algo_parent_orders"}, cls{"AlgoParentOrder"}, ev{"PARENT_ORDER_UPDATE"};
    update(parent_order, dict, cls, ev, "algo_parent_order");
}

void on_child_update(nb::handle, nb::handle child_order) {
    static const Name dict{"algo_child_orders"}, cls{"AlgoChildOrder"}, ev{"CHILD_ORDER_UPDATE"};
    update(child_order, dict, cls, ev, "algo_child_order");
}

void on_child_trade(nb::handle, nb::handle child_trade) {
    static const Name dict{"algo_child_trades"}, cls{"AlgoChildTrade"}, ev{"CHILD_ORDER_TRADE"};
    update(child_trade, dict, cls, ev, "algo_child_trade");
}

}  // namespace

void add_algo_methods(PyClass &cls) {
    cls.def("on_algo_login", &on_algo_login, arg("self"), arg("algo_login_res"))
        .def("on_create_algo_parent_order_res", &on_create_res, arg("self"), arg("create_parent_order_res"))
        .def("on_cancel_algo_parent_order_res", &on_cancel_res, arg("self"), arg("cancel_parent_order_res"))
        .def("on_control_algo_parent_order_res", &on_control_res, arg("self"), arg("control_parent_order_res"))
        .def("on_algo_parent_order_update", &on_parent_update, arg("self"), arg("parent_order"))
        .def("on_algo_child_order_update", &on_child_update, arg("self"), arg("child_order"))
        .def("on_algo_child_order_trade", &on_child_trade, arg("self"), arg("child_trade"));
}

}  // namespace norvane::pulsebridge

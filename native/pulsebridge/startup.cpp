// VantaStrategy construction, start-up (brokers, subscription, timers) and login.
#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

namespace {

const Name kSystemLog{"system_log"}, kInfo{"info"}, kDatetime{"datetime"}, kNow{"now"}, kDate{"date"};
const Name kConfig{"config"}, kBase{"base"}, kContext{"context"}, kInit{"__init__"};
const Name kMdType{"md_type"}, kOrderWay{"order_way"}, kAccounts{"accounts"}, kAlgoAccount{"algo_account"};
const Name kItems{"items"}, kSplit{"split"}, kUpper{"upper"};
const Name kMDType{"MDType"}, kVaMD{"VaMD"}, kAMD{"AMD"}, kAlgoType{"AlgoType"}, kATX{"ATX"};
const Name kMarketType{"MarketType"}, kSZSE{"SZSE"}, kSubscribeDataType{"SubscribeDataType"}, kBar{"Bar"};
const Name kAddMdBroker{"add_md_broker"}, kSetOrderWay{"set_order_way"}, kAddTdBroker{"add_td_broker"};
const Name kAddAlgoBroker{"add_algo_broker"}, kSubscribe{"subscribe"}, kSetTimer{"set_timer"};
const Name kGetVantaTdtype{"get_vanta_tdtype"}, kVantaParams{"vanta_params"};
const Name kLoggedIn{"logged_in"}, kOrderNum{"order_num"}, kBarCnt{"bar_cnt"}, kCurrentTradeDt{"current_trade_dt"};
const Name kFirstDt{"first_dt"};
const Name kFundAccountId{"fund_account_id"}, kErrorCode{"error_code"}, kClientSeqId{"client_seq_id"};
const Name kErrorMsg{"error_msg"}, kLOGIN{"LOGIN"};
const Name kStrVaMD{"VaMD"}, kStrUnderscore{"_"}, kStrATX{"ATX"}, kStrVantaMd{"vanta_md"}, kStrVantaTd{"vanta_td"};
const Name kStrVantaContext{"vanta_context"}, kStr1m{"1m"};

nb::handle str(const Name &n) { return n.key(); }

void set_item(nb::handle container, const Name &key, nb::handle value) {
    if (PyObject_SetItem(container.ptr(), key.key(), value.ptr()) != 0)
        throw nb::python_error();
}

// `a, b = value` for exactly two items, with Python's messages otherwise.
std::pair<nb::object, nb::object> unpack2(nb::handle value) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    nb::object parts[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred())
                throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw nb::python_error();
        }
        parts[i] = nb::steal(item);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return {std::move(parts[0]), std::move(parts[1])};
}

// The second part of `text.split("_")`, which must split into exactly two parts.
nb::object destination(nb::handle text) {
    return unpack2(call_method(text, kSplit, str(kStrUnderscore))).second;
}

void init(nb::handle self, nb::handle config) {
    nb::object base_init = getattr(call(nb::handle((PyObject *)&PySuper_Type), strategy_class(), self), kInit);
    call(base_init);
    setattr(self, kLoggedIn, Py_False);
    setattr(self, kOrderNum, py_int(0));
    setattr(self, kBarCnt, py_int(0));
    setattr(self, kCurrentTradeDt, py_int(0));
    setattr(self, kFirstDt, call_method(call_method(G[kDatetime], kNow), kDate));
    setattr(self, kConfig, config);
}

void initialize(nb::handle self, nb::handle /* config: the constructor's governs */) {
    call_method(G[kSystemLog], kInfo, nb::str("VantaStrategy initialize..."));

    // Market-data broker: only the exact text "VaMD" picks VaMD.
    if (hasattr(getattr(getattr(self, kConfig), kBase), kMdType) &&
        equals(getattr(getattr(getattr(self, kConfig), kBase), kMdType), str(kStrVaMD))) {
        call_method(getattr(self, kContext), kAddMdBroker, getattr(G[kMDType], kVaMD));
        set_item(G[kVantaParams], kStrVantaMd, getattr(G[kMDType], kVaMD));
    } else {
        call_method(getattr(self, kContext), kAddMdBroker, getattr(G[kMDType], kAMD));
        set_item(G[kVantaParams], kStrVantaMd, getattr(G[kMDType], kAMD));
    }

    if (hasattr(getattr(getattr(self, kConfig), kBase), kOrderWay))
        call_method(getattr(self, kContext), kSetOrderWay, getattr(getattr(getattr(self, kConfig), kBase), kOrderWay));

    // One trading broker per account; "vanta_td" keeps the last destination's type.
    nb::object items = call_method(getattr(getattr(getattr(self, kConfig), kBase), kAccounts), kItems);
    nb::object iter = steal_or_throw(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object value = unpack2(item).second;
        nb::object dest = destination(value);
        nb::object td = call(G[kGetVantaTdtype], call_method(dest, kUpper));
        call_method(getattr(self, kContext), kAddTdBroker, td);
        nb::object td_again = call(G[kGetVantaTdtype], call_method(dest, kUpper));
        set_item(G[kVantaParams], kStrVantaTd, td_again);
    }
    if (PyErr_Occurred())
        throw nb::python_error();

    // Algo broker: only an ATX destination (any case) adds one.
    if (hasattr(getattr(getattr(self, kConfig), kBase), kAlgoAccount) &&
        !getattr(getattr(getattr(self, kConfig), kBase), kAlgoAccount).is_none()) {
        nb::object dest = destination(getattr(getattr(getattr(self, kConfig), kBase), kAlgoAccount));
        if (equals(call_method(dest, kUpper), str(kStrATX)))
            call_method(getattr(self, kContext), kAddAlgoBroker, getattr(G[kAlgoType], kATX));
    }

    set_item(G[kVantaParams], kStrVantaContext, getattr(self, kContext));

    nb::object md = steal_or_throw(PyObject_GetItem(G[kVantaParams].ptr(), kStrVantaMd.key()));
    call_method(getattr(self, kContext), kSubscribe, md, getattr(G[kMarketType], kSZSE),
                getattr(G[kSubscribeDataType], kBar), nb::list(), str(kStr1m));

    call_method(self, kSetTimer);
}

void on_login(nb::handle self, nb::handle login_res) {
    (void)self;
    nb::object account = steal_or_throw(PyObject_Str(getattr(login_res, kFundAccountId).ptr()));
    nb::object code = steal_or_throw(PyObject_Str(getattr(login_res, kErrorCode).ptr()));
    nb::object text = add(add(add(nb::str("on_login fund_account_id:"), account), nb::str(", error_code:")), code);
    call_method(G[kSystemLog], kInfo, text);
    // Posted whatever the error code: telling success from failure is the engine's business.
    static const Keywords kw{"rid", "account_id", "code", "msg"};
    nb::object rid = getattr(login_res, kClientSeqId);
    nb::object account_id = getattr(login_res, kFundAccountId);
    nb::object error_code = getattr(login_res, kErrorCode);
    nb::object msg = getattr(login_res, kErrorMsg);
    post(kLOGIN, kw, rid, account_id, error_code, msg);
}

}  // namespace

void add_startup_methods(PyClass &cls) {
    cls.def("__init__", &init, arg("self"), arg("config"))
        .def("initialize", &initialize, arg("self"), arg("config"))
        .def("on_initialize", [](nb::handle) {}, arg("self"))
        .def("on_login", &on_login, arg("self"), arg("login_res"));
}

}  // namespace norvane::pulsebridge

// Market-data callbacks: snapshots, tick-by-tick orders and trades, and one-minute bars.
//
// Each callback reads the SDK object, builds the engine's objects, keeps snapshots and bars in the
// per-code histories and posts its event. The history update (look up or create the code's deque,
// append) runs no Python code, so under the GIL it is one step for every other thread.
#include <climits>

#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

namespace {

const Global kConvertIntToDatetime{"convert_int_to_datetime"}, kConvertIntToWholeDate{"convert_int_to_whole_date"};
const Global kGetExchange{"get_exchane_from_vanta_mdtype"}, kGetSide{"get_side_from_vanta_l2_order"};
const Global kGetOrderType{"get_order_type_from_vanta_l2_order"}, kGetL2OrderType{"get_l2order_type_from_vanta"};
const Global kGetTradeType{"get_trade_type_from_vanta"};
const Global kEnvironment{"Environment"}, kTickObject{"TickObject"}, kL2Order{"L2Order"};
const Global kL2Transaction{"L2Transaction"}, kSIDE{"SIDE"}, kDeque{"deque"};
const Global kHistoryTick{"history_tick"}, kHistoryBar{"history_bar"};
const Name kGetInstance{"get_instance"}, kDataProxy{"data_proxy"}, kInstruments{"instruments"};
const Name kGetUniverse{"get_universe"}, kFromCreate{"__from_create__"}, kBUY{"BUY"}, kSELL{"SELL"};
const Name kAppend{"append"};
const Name kTICK{"TICK"}, kL2_ORDER{"L2_ORDER"}, kL2_TRANSACTION{"L2_TRANSACTION"}, kBAR{"BAR"};
const Name kBarCnt{"bar_cnt"}, kCurrentTradeDt{"current_trade_dt"};
const Name kDot{"."};

// SDK object attributes.
// Each callback has its own readers: the SDK may use a different type for each kind of report.
struct CodeAttrs {
    Attr security_id{"security_id"};
    Attr market_type{"market_type"};
};
const CodeAttrs kSnapCode, kOrderCode, kTradeCode, kBarCode;
const Attr kOrigTime{"orig_time"};
const Attr kOrderTime{"order_time"}, kTradeTime{"trade_time"}, kEndTime{"end_time"};
const Attr kBizIndex{"biz_index"}, kSide{"side"}, kOrderPrice{"order_price"}, kOrderVolume{"order_volume"};
const Attr kOrderType{"order_type"}, kOrigOrderNo{"orig_order_no"};
const Attr kBidSeq{"bid_appl_seq_num"}, kOfferSeq{"offer_appl_seq_num"}, kTradePrice{"trade_price"};
const Attr kTradeVolume{"trade_volume"}, kValueTrade{"value_trade"}, kTradeType{"trade_type"};

// Tick dict: dict key and snapshot attribute, in the dict's key order (after market_code, datetime).
struct Field {
    Name key;
    Attr attr;
};
const Field kTickFields[] = {
    {Name("open_price"), Attr("open_price")},
    {Name("close_price"), Attr("close_price")},
    {Name("high_price"), Attr("high_price")},
    {Name("low_price"), Attr("low_price")},
    {Name("total_turnover"), Attr("total_value_trade")},
    {Name("volume"), Attr("total_volume_trade")},
    {Name("prev_close"), Attr("pre_close_price")},
    {Name("ask_vols"), Attr("ask_volume")},
    {Name("asks"), Attr("ask_price")},
    {Name("bid_vols"), Attr("bid_volume")},
    {Name("bids"), Attr("bid_price")},
    {Name("high_limited"), Attr("high_limited")},
    {Name("last_price"), Attr("last_price")},
    {Name("low_limited"), Attr("low_limited")},
    {Name("open_interest"), Attr("open_interest")},
    {Name("prev_settlement"), Attr("prev_settlement")},
    {Name("iopv"), Attr("iopv")},
    {Name("trading_phase_code"), Attr("trading_phase_code")},
};
// Bar dict, after market_code and orig_time.
const Field kBarFields[] = {
    {Name("open_price"), Attr("open")},     {Name("close_price"), Attr("close")},
    {Name("high_price"), Attr("high")},     {Name("low_price"), Attr("low")},
    {Name("total_turnover"), Attr("amount")}, {Name("volume"), Attr("volume")},
    {Name("prev_close"), Attr("prev_close")},
};
const Name kMarketCodeKey{"market_code"}, kDatetimeKey{"datetime"}, kOrigTimeKey{"orig_time"};

void dict_set(nb::handle d, const Name &key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.key(), value.ptr()) != 0)
        throw nb::python_error();
}

// convert_int_to_datetime(<sdk time> / 1000): true division, so the engine always gets a float.
nb::object event_time(nb::handle sdk_object, const Attr &time_attr) {
    nb::object t = getattr(sdk_object, time_attr);
    nb::object seconds = steal_or_throw(PyNumber_TrueDivide(t.ptr(), py_int(1000).ptr()));
    return call(kConvertIntToDatetime.get(), seconds);
}

// security_id + "." + get_exchane_from_vanta_mdtype(market_type)
nb::object market_code(nb::handle sdk_object, const CodeAttrs &attrs) {
    nb::object head = add(getattr(sdk_object, attrs.security_id), kDot.key());
    nb::object suffix = call(kGetExchange.get(), getattr(sdk_object, attrs.market_type));
    return add(head, suffix);
}

// chr(value): an integer character code to a one-character string.
nb::object to_char(nb::handle value) {
    nb::object index = steal_or_throw(PyNumber_Index(value.ptr()));
    int overflow = 0;
    long code = PyLong_AsLongAndOverflow(index.ptr(), &overflow);
    if (code == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow || code < INT_MIN || code > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        throw nb::python_error();
    }
    return steal_or_throw(PyUnicode_FromOrdinal(static_cast<int>(code)));
}

nb::object new_tick_deque() {
    static const Keywords kw{"maxlen"};
    PyObject *args[2] = {nullptr, py_int(60).ptr()};
    nb::object deque = kDeque.get();
    return steal_or_throw(PyObject_Vectorcall(deque.ptr(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.tuple()));
}
nb::object new_bar_deque() { return call(kDeque.get()); }

// history[code].append(entry), creating the code's deque first when it has none. On the module's
// dict the deque is made before the insert-if-absent, and the insert and the append run no Python
// code: no other thread sees the code without its entry, and two threads reporting a new code at
// once share one deque.
void append_history(const Global &container, nb::handle code, nb::handle entry, nb::object (*make_deque)()) {
    nb::object history = container.get();
    if (PyDict_CheckExact(history.ptr())) {
        nb::object d = container_get(history, code);
        if (!d.is_valid()) {
            nb::object fresh = make_deque();
            PyObject *kept = PyDict_SetDefault(history.ptr(), code.ptr(), fresh.ptr());
            if (!kept)
                throw nb::python_error();
            d = nb::borrow(kept);
        }
        call_method(d, kAppend, entry);
        return;
    }
    int has = PySequence_Contains(history.ptr(), code.ptr());
    if (has < 0)
        throw nb::python_error();
    if (!has && PyObject_SetItem(history.ptr(), code.ptr(), make_deque().ptr()) != 0)
        throw nb::python_error();
    call_method(steal_or_throw(PyObject_GetItem(history.ptr(), code.ptr())), kAppend, entry);
}

nb::object new_dict(Py_ssize_t size) { return steal_or_throw(_PyDict_NewPresized(size)); }

void on_snapshot(nb::handle, nb::handle snapshot) {
    nb::object dt = event_time(snapshot, kOrigTime);
    nb::object code = market_code(snapshot, kSnapCode);

    nb::object tick = new_dict(20);
    dict_set(tick, kMarketCodeKey, code);
    dict_set(tick, kDatetimeKey, dt);
    for (const Field &f : kTickFields)
        dict_set(tick, f.key, getattr(snapshot, f.attr));

    append_history(kHistoryTick, code, tick, &new_tick_deque);

    nb::object tick_cls = kTickObject.get();
    nb::object env = call_method(kEnvironment.get(), kGetInstance);
    nb::object instrument = call_method(getattr(env, kDataProxy), kInstruments, code);
    nb::object tick_object = call(tick_cls, instrument, tick);
    static const Keywords kw{"calendar_dt", "trading_dt", "tick"};
    post(kTICK, kw, dt, dt, tick_object);
}

void on_tick_order(nb::handle, nb::handle order) {
    nb::object dt = event_time(order, kOrderTime);
    nb::object code = market_code(order, kOrderCode);
    // One statement per read: the SDK object's fields are read in Python's order (side, then
    // market type), which a call with both reads as arguments would leave unspecified.
    nb::object side_char = to_char(getattr(order, kSide));
    nb::object side = call(kGetSide.get(), side_char, getattr(order, kOrderCode.market_type));

    nb::object from_create = getattr(kL2Order.get(), kFromCreate);
    nb::object biz_index = getattr(order, kBizIndex);
    nb::object price = getattr(order, kOrderPrice);
    nb::object volume = getattr(order, kOrderVolume);
    nb::object order_type_char = to_char(getattr(order, kOrderType));
    nb::object order_type = call(kGetOrderType.get(), order_type_char, getattr(order, kOrderCode.market_type));
    nb::object orig_order_no = getattr(order, kOrigOrderNo);
    nb::object kind_char = to_char(getattr(order, kOrderType));
    nb::object kind = call(kGetL2OrderType.get(), kind_char, getattr(order, kOrderCode.market_type));
    nb::object l2_order = call(from_create, biz_index, code, dt, side, price, volume, order_type, orig_order_no, kind);

    static const Keywords kw{"calendar_dt", "trading_dt", "l2_order"};
    post(kL2_ORDER, kw, dt, dt, l2_order);
}

void on_tick_trade(nb::handle, nb::handle trade) {
    nb::object dt = event_time(trade, kTradeTime);
    nb::object code = market_code(trade, kTradeCode);
    // Equal sequence numbers count as a sell.
    nb::object bid_seq = getattr(trade, kBidSeq);
    nb::object offer_seq = getattr(trade, kOfferSeq);
    int buy = PyObject_RichCompareBool(bid_seq.ptr(), offer_seq.ptr(), Py_GT);
    if (buy < 0)
        throw nb::python_error();
    nb::object side = getattr(kSIDE.get(), buy ? kBUY : kSELL);

    nb::object from_create = getattr(kL2Transaction.get(), kFromCreate);
    nb::object biz_index = getattr(trade, kBizIndex);
    nb::object price = getattr(trade, kTradePrice);
    nb::object volume = getattr(trade, kTradeVolume);
    nb::object value = getattr(trade, kValueTrade);
    nb::object trade_type = call(kGetTradeType.get(), to_char(getattr(trade, kTradeType)));
    nb::object bid = getattr(trade, kBidSeq);
    nb::object offer = getattr(trade, kOfferSeq);
    nb::object l2_trade = call(from_create, biz_index, code, dt, side, price, volume, value, trade_type, bid, offer);

    static const Keywords kw{"calendar_dt", "trading_dt", "l2_transaction"};
    post(kL2_TRANSACTION, kw, dt, dt, l2_trade);
}

void on_bar(nb::handle self, nb::handle bar) {
    nb::object code = market_code(bar, kBarCode);

    nb::object entry = new_dict(9);
    dict_set(entry, kMarketCodeKey, code);
    dict_set(entry, kOrigTimeKey, event_time(bar, kEndTime));  // a datetime, despite the key
    for (const Field &f : kBarFields)
        dict_set(entry, f.key, getattr(bar, f.attr));

    append_history(kHistoryBar, code, entry, &new_bar_deque);

    // Count the bars of one bar time; the first bar of a new time restarts the count at 1.
    nb::object t = steal_or_throw(PyNumber_TrueDivide(getattr(bar, kEndTime).ptr(), py_int(1000).ptr()));
    if (equals(getattr(self, kCurrentTradeDt), py_int(0)) || equals(getattr(self, kCurrentTradeDt), t))
        setattr(self, kBarCnt, steal_or_throw(PyNumber_InPlaceAdd(getattr(self, kBarCnt).ptr(), py_int(1).ptr())));
    else
        setattr(self, kBarCnt, py_int(1));
    setattr(self, kCurrentTradeDt, t);

    // Complete once every instrument of the universe (asked afresh) has reported this bar time.
    nb::object count = getattr(self, kBarCnt);
    nb::object universe = call_method(call_method(kEnvironment.get(), kGetInstance), kGetUniverse);
    const Py_ssize_t size = PyObject_Size(universe.ptr());
    if (size < 0)
        throw nb::python_error();
    nb::object size_obj = steal_or_throw(PyLong_FromSsize_t(size));
    if (equals(count, size_obj)) {
        nb::object whole = steal_or_throw(PyNumber_Long(getattr(self, kCurrentTradeDt).ptr()));
        nb::object calendar_dt = call(kConvertIntToWholeDate.get(), whole);
        static const Keywords kw{"calendar_dt", "trading_dt"};
        post(kBAR, kw, calendar_dt, calendar_dt);
        setattr(self, kBarCnt, py_int(0));
    }
}

}  // namespace

void add_market_data_methods(PyClass &cls) {
    cls.def("on_snapshot", &on_snapshot, arg("self"), arg("snapshot"))
        .def("on_tick_order", &on_tick_order, arg("self"), arg("tick_order"))
        .def("on_tick_trade", &on_tick_trade, arg("self"), arg("tick_trade"))
        .def("on_bar", &on_bar, arg("self"), arg("bar"));
}

}  // namespace norvane::pulsebridge

// The trading day: daily timers armed with the SDK (re-checked every morning at 08:00 against the
// engine's calendar), the three day events they post, and the day switch that empties the
// per-day containers. The clock (`datetime`, `np`) is read from the module when code runs.
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

const Name kDatetime{"datetime"};
const Name kTime{"time"};
const Name kTimedelta{"timedelta"};
const Name kNp{"np"};
const Name kSystemLog{"system_log"};

nb::object now() { return G[kDatetime].attr("now")(); }

// int(time_diff.total_seconds() * 1000000000): the SDK's delay in nanoseconds.
nb::object delay_ns(nb::handle time_diff) {
    nb::object ns = time_diff.attr("total_seconds")() * nb::int_(1000000000);
    PyObject *r = PyNumber_Long(ns.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

void arm(nb::handle self, nb::handle delay, const char *callback) {
    self.attr("context").attr("add_timer_interval")(delay, self.attr(callback));
}

void set_timer(nb::handle self) {
    self.attr("create_time_listener")();
    nb::object tomorrow_8am =
        now().attr("replace")("hour"_a = 8, "minute"_a = 0, "second"_a = 0, "microsecond"_a = 0);
    tomorrow_8am = tomorrow_8am + G[kTimedelta]("days"_a = 1);
    nb::object time_diff = tomorrow_8am - now();
    arm(self, delay_ns(time_diff), "set_timer");
}

void create_time_listener(nb::handle self) {
    nb::object current_date = G[kNp].attr("datetime64")("today", "D");
    if (!contains(self.attr("config").attr("base").attr("trading_calendar"), current_date)) {
        G[kSystemLog].attr("info")(text({current_date, nb::str(" not trade day... "),
                                         self.attr("config").attr("base").attr("trading_calendar")}));
        return;
    }
    nb::object t = now();
    nb::object current_time = t.attr("time")();
    nb::object time = G[kTime];
    nb::object datetime = G[kDatetime];
    // Delay from now to hh:mm today.
    auto until = [&](int hour, int minute) {
        nb::object combine = datetime.attr("combine");
        nb::object date = t.attr("date")();
        nb::object dt = combine(date, time(hour, minute, 0));
        return delay_ns(dt - t);
    };

    if (compare(current_time, time(9, 0, 0), Py_LT))
        arm(self, until(9, 0), "send_before_trading_event");
    else
        arm(self, nb::int_(3000000000LL), "send_before_trading_event");

    // Armed for 09:24 until 09:27, so a start in between gets a negative delay (fire at once).
    if (compare(current_time, time(9, 27, 0), Py_LT))
        arm(self, until(9, 24), "send_open_auction_event");

    if (compare(current_time, time(15, 30, 0), Py_LT))
        arm(self, until(15, 30), "send_after_trading_event");
    else
        arm(self, nb::int_(20000000000LL), "send_after_trading_event");
}

void send_day_event(nb::handle, nb::handle type, nb::handle dt) {
    post(type, "calendar_dt"_a = dt, "trading_dt"_a = dt);
}

void send_named_day_event(nb::handle self, const Name &member) {
    nb::object method = self.attr("send_day_event");
    nb::object type = event_type(member);
    method(type, now());
}

const Name kOrdersDict{"orders_dict"};
// The per-day containers, in the order the day switch empties them.
const Name kDayContainers[] = {Name("orders_dict"),        Name("history_bar"),       Name("history_tick"),
                               Name("algo_parent_orders"), Name("algo_child_orders"), Name("algo_child_trades")};

void clear(const Name &container) { G[container].attr("clear")(); }

}  // namespace

void add_timer_methods(PyClass &cls) {
    cls.def("on_switch_day",
            [](nb::handle) {
                for (const Name &name : kDayContainers)
                    clear(name);
            },
            arg("self"))
        .def("create_time_listener", &create_time_listener, arg("self"))
        .def("send_day_event", &send_day_event, arg("self"), arg("event_type"), arg("dt"))
        .def("send_before_trading_event",
             [](nb::handle self) {
                 static const Name ev{"BEFORE_TRADING"};
                 send_named_day_event(self, ev);
             },
             arg("self"))
        .def("send_after_trading_event",
             [](nb::handle self) {
                 static const Name ev{"AFTER_TRADING"};
                 send_named_day_event(self, ev);
                 // Emptied only once the event is queued: the engine settles the day's orders from it.
                 clear(kOrdersDict);
             },
             arg("self"))
        .def("send_open_auction_event",
             [](nb::handle self) {
                 static const Name ev{"OPEN_AUCTION"};
                 send_named_day_event(self, ev);
             },
             arg("self"))
        .def("set_timer", &set_timer, arg("self"));
}

}  // namespace norvane::pulsebridge

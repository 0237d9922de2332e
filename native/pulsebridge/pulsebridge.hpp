// Internal declarations of the live bridge module.
#pragma once

#include <nanobind/nanobind.h>

#include "common/names.hpp"
#include "common/pyclass.hpp"

namespace norvane::pulsebridge {

namespace nb = nanobind;

// The module's globals: every imported name and container is read from here when code runs.
extern Globals G;

// Module containers and the four accessors (created once, at import).
void define_state(nb::module_ m);

// Appends one engine event to `event_queue` (the module's producers are serialised; see event_queue.cpp).
void post_event(nb::handle event);

// VantaStrategy's methods, by area.
void add_startup_methods(PyClass &cls);        // __init__, initialize, on_initialize, on_login
void add_market_data_methods(PyClass &cls);    // on_snapshot, on_tick_order, on_tick_trade, on_bar
void add_account_order_methods(PyClass &cls);  // on_query_asset, on_query_position, on_order, on_trade, ...
void add_algo_methods(PyClass &cls);           // algo login, parent-order results, updates
void add_timer_methods(PyClass &cls);          // set_timer, create_time_listener, day events, on_switch_day

}  // namespace norvane::pulsebridge

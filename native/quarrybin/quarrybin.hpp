// Internal declarations of the market-data stores module.
#pragma once

#include <nanobind/nanobind.h>

#include "common/names.hpp"

namespace norvane::quarrybin {

namespace nb = nanobind;

// The module's globals: every imported name is read from here when code runs.
extern Globals G;

// Parts of the module body, run in this order after the imports.
void define_numbering(nb::module_ m);           // date_to_number, time_to_number
void define_minute_bars(nb::module_ m);         // AbstractMinBarStore, H5MinBarStore
void define_h5_ticks(nb::module_ m);            // H5TicksLoader
void define_orvdata_ticks(nb::module_ m);       // OrvdataTicksLoader
void define_algo_store(nb::module_ m);          // AlgoStore
void define_open_auction(nb::module_ m);        // OpenAuctionVolumeStore
void define_futures_parameters(nb::module_ m);  // FUTURES_TRADING_PARAMETERS_FIELDS, FuturesTradingParametersStore

}  // namespace norvane::quarrybin

// OpenAuctionVolumeStore: opening-auction volumes and the data service's auction records.
#include "common/args.hpp"
#include "common/pyclass.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

using namespace nb::literals;

namespace {

const Name kNp{"np"}, kPd{"pd"}, kVarorize{"varorize"}, kEnvironment{"Environment"};

// The trading dates of `all_dates` that `seen` lacks, each once, in the order of `all_dates`.
nb::list missing_dates(nb::handle all_dates, nb::handle seen) {
    nb::object have = nb::steal(PySet_New(seen.ptr()));
    if (!have.is_valid())
        throw nb::python_error();
    nb::list missing;
    for (nb::handle d : all_dates) {
        int found = PySet_Contains(have.ptr(), d.ptr());
        if (found < 0)
            throw nb::python_error();
        if (!found) {
            missing.append(d);
            if (PySet_Add(have.ptr(), d.ptr()) != 0)
                throw nb::python_error();
        }
    }
    return missing;
}

nb::object get_open_auction_info(nb::object /*self*/, nb::object market_code, nb::object start_date,
                                 nb::object end_date, nb::object fields) {
    require_str(market_code, "market_code");
    require_list(fields, "fields");
    nb::object df = G[kVarorize].attr("get_open_auction_info")(market_code, start_date, end_date, fields);
    if (df.is_none() || nb::cast<bool>(df.attr("empty")))
        return nb::none();
    nb::object env = G[kEnvironment].attr("get_instance")();
    nb::object instrument = env.attr("get_instrument")(market_code);
    nb::object source = env.attr("data_proxy").attr("_data_source");

    // The time stamps of this instrument's rows (a mask rather than .loc: no lexsort demands on
    // the service's index order).
    nb::object index = df.attr("index");
    nb::object own = index.attr("get_level_values")(0).attr("__eq__")(market_code);
    nb::object times = index.attr("get_level_values")(1)[own];
    nb::object trading_dt = source.attr("batch_get_trading_date")(times);
    nb::object trading_dates = source.attr("get_trading_dates")(start_date, end_date);
    if (nb::len(trading_dt) == nb::len(trading_dates))
        return df;

    nb::object np = G[kNp], pd = G[kPd];
    nb::list missing = missing_dates(trading_dates, trading_dt);
    nb::object records = df.attr("to_records")();
    nb::object record_type = records.attr("dtype");
    nb::object pad = np.attr("zeros")(nb::len(missing), "dtype"_a = record_type);
    if (nb::len(missing) > 0) {
        // Each missing trading date at 09:00:00.
        nb::object at_nine = pd.attr("DatetimeIndex")(missing).attr("normalize")() +
                             pd.attr("Timedelta")("hours"_a = 9);
        pad["orig_time"] = at_nine.attr("to_numpy")().attr("astype")(record_type["orig_time"]);
        pad["market_code"] = instrument.attr("market_code");
    }
    nb::object merged = np.attr("concatenate")(nb::make_tuple(records, pad));
    nb::object order = nb::steal(PySequence_List(record_type.attr("names").ptr()));
    if (!order.is_valid())
        throw nb::python_error();
    merged.attr("sort")("order"_a = order);  // by market code, then time, then the columns
    nb::list keys;
    keys.append("market_code");
    keys.append("orig_time");
    return pd.attr("DataFrame")(merged).attr("set_index")(keys);
}

}  // namespace

void define_open_auction(nb::module_ m) {
    PyClass(m, "OpenAuctionVolumeStore")
        .doc("Opening-auction volumes and the data service's auction records.\n\n"
             "The store is built disabled (init is False) and creates no bundle. An enabled store "
             "would probe the data service's get_open_auction_info, set init to True and build "
             "AutomaticUpdateBundle(path=auto_update_bundle_path, filename=\"open_auction_volume.h5\", "
             "api=self.get_open_auction_info, fields=[\"volume\"], end_date=end_date) as "
             "_auto_update_bundle_module, which get_open_auction_volume needs.")
        .def(
            "__init__",
            [](nb::object self, nb::object auto_update_bundle_path, nb::object /*end_date*/) {
                require_str(auto_update_bundle_path, "auto_update_bundle_path");
                // Built disabled: no bundle and no data-service call (see get_open_auction_volume).
                self.attr("init") = false;
            },
            arg("self"), arg("auto_update_bundle_path"), arg("end_date"))
        .def(
            "get_open_auction_volume",
            [](nb::object self, nb::object instrument, nb::object dt) -> nb::object {
                nb::object data = self.attr("_auto_update_bundle_module").attr("get_data")(instrument, dt);
                if (data.is_none() || nb::len(data) == 0)
                    return nb::int_(0);
                return data["volume"];
            },
            arg("self"), arg("instrument"), arg("dt"))
        .def("get_open_auction_info", &get_open_auction_info, arg("self"), arg("market_code"), arg("start_date"),
             arg("end_date"), arg("fields"))
        .finish();
}

}  // namespace norvane::quarrybin

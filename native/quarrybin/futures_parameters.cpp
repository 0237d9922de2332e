// FuturesTradingParametersStore: margin ratios and commission rates of futures contracts by date,
// kept by the engine's auto-updating bundle, with user overrides and continuous contracts.
#include <algorithm>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "common/args.hpp"
#include "common/pyclass.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

using namespace nb::literals;

namespace {

const Name kNp{"np"}, kPd{"pd"}, kVarorize{"varorize"}, kEnvironment{"Environment"};
const Name kUserLog{"user_system_log"}, kGettext{"_"}, kBundle{"AutomaticUpdateBundle"};
const Name kParameters{"FuturesTradingParameters"}, kCommissionType{"COMMISSION_TYPE"};
const Name kFields{"FUTURES_TRADING_PARAMETERS_FIELDS"};

constexpr const char *kMinVersion = "2.11.12";
constexpr const char *kUpgradeMessage =
    "norvane already supports backtesting using futures historical margins and rates, please upgrade "
    "norvane.tessel.zered to version 2.11.12 and above to use it";
constexpr const char *kDeniedMessage =
    "ORVZered does not have permission to obtain futures histrical trading parameters, "
    "\"config.base.futures_time_series_trading_parameters\" will be disabled.";
constexpr const char *kAbnormalMessage =
    "{}'s trading parameters are abnormal on {}, the lastst parameters will be used for calculations.\n"
    "Please contract Altoria to repair";

// The service's names of the six parameters, in the order they are asked for.
constexpr const char *kServiceFields[] = {"long_margin_ratio", "short_margin_ratio", "commission_type",
                                          "open_commission",   "close_commission",   "close_commission_today"};
// Stored field <- service field, for the five numeric parameters.
constexpr const char *kNumericMap[][2] = {{"long_margin_ratio", "long_margin_ratio"},
                                          {"short_margin_ratio", "short_margin_ratio"},
                                          {"open_commission_ratio", "open_commission"},
                                          {"close_commission_ratio", "close_commission"},
                                          {"close_commission_today_ratio", "close_commission_today"}};

nb::list service_fields() {
    nb::list fields;
    for (const char *f : kServiceFields)
        fields.append(f);
    return fields;
}

bool truthy(nb::handle v) {
    int r = PyObject_IsTrue(v.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// Dotted version components as numbers: each component's leading digits (none counts as 0), so
// "2.11.12rc1" reads as 2.11.12 and "2.11" as 2.11.0.
std::vector<long long> version_parts(const std::string &text) {
    std::vector<long long> parts;
    std::size_t pos = 0;
    while (true) {
        std::size_t dot = text.find('.', pos);
        std::string comp = text.substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
        long long value = 0;
        for (char c : comp) {
            if (c < '0' || c > '9')
                break;
            value = value * 10 + (c - '0');
            if (value > 1000000000LL)
                break;  // absurd component: big enough to compare as large
        }
        parts.push_back(value);
        if (dot == std::string::npos)
            break;
        pos = dot + 1;
    }
    return parts;
}

bool version_below(const std::string &version, const std::string &floor) {
    std::vector<long long> a = version_parts(version), b = version_parts(floor);
    std::size_t n = std::max(a.size(), b.size());
    a.resize(n, 0);
    b.resize(n, 0);
    return a < b;
}

void warn_user(const char *method, nb::handle text) {
    G[kUserLog].attr(method)(G[kGettext](text));
}

nb::object init(nb::object self, nb::object auto_update_bundle_path, nb::object end_date,
                nb::object custom_future_info) {
    require_str(auto_update_bundle_path, "auto_update_bundle_path");
    require_dict(custom_future_info, "custom_future_info");
    nb::object env = G[kEnvironment].attr("get_instance")();
    nb::setattr(self, "_env", env);
    if (!truthy(env.attr("varorize_init"))) {
        nb::setattr(self, "init", nb::bool_(false));
        return nb::none();
    }
    nb::object varorize = G[kVarorize];
    std::string version = nb::cast<std::string>(nb::str(varorize.attr("__version__")));
    if (version_below(version, kMinVersion))
        warn_user("warning", nb::str(kUpgradeMessage));
    try {
        varorize.attr("futures").attr("get_trading_parameters")("A2401");  // probe: service and permission
        nb::setattr(self, "init", nb::bool_(true));
        nb::object bundle = G[kBundle]("path"_a = auto_update_bundle_path, "filename"_a = "futures_trading_parameters.h5",
                                       "api"_a = self.attr("get_trading_parameters"), "fields"_a = G[kFields],
                                       "end_date"_a = end_date, "start_date"_a = 20100401);
        nb::setattr(self, "_auto_update_bundle_module", bundle);
        nb::setattr(self, "_custom_data", custom_future_info);
    } catch (nb::python_error &e) {
        if (!e.matches(G[kVarorize].attr("errors").attr("PermissionDenied")))
            throw;
        warn_user("warning", nb::str(kDeniedMessage));
        nb::setattr(self, "init", nb::bool_(false));
    }
    return nb::none();
}

nb::object get_futures_trading_parameters(nb::object self, nb::object instrument, nb::object dt) {
    nb::object data = self.attr("_auto_update_bundle_module").attr("get_data")(instrument, dt);
    if (data.is_none()) {
        nb::str text = nb::str(kAbnormalMessage).format(instrument.attr("market_code"), dt);
        warn_user("warn", text);
        return nb::none();
    }
    nb::object custom = self.attr("_custom_data");
    if (truthy(custom)) {
        nb::object info = custom.attr("get")(instrument.attr("market_code"));
        if (!truthy(info))
            info = custom.attr("get")(instrument.attr("underlying_symbol"));
        if (truthy(info))
            data = self.attr("_set_custom_info")(data, info);
    }
    return self.attr("_to_namedtuple")(data);
}

nb::object set_custom_info(nb::object /*self*/, nb::object data, nb::object custom_info) {
    require_dict(custom_info, "custom_info");
    nb::object by_money = G[kCommissionType].attr("BY_MONEY");
    nb::str commission_type("commission_type");
    for (auto [key, value] : nb::borrow<nb::dict>(custom_info)) {
        if (nb::handle(key).equal(commission_type))
            data[key] = nb::int_(nb::handle(value).equal(by_money) ? 0 : 1);
        else
            data[key] = value;
    }
    return data;
}

nb::object to_namedtuple(nb::object self, nb::object arr) {
    nb::dict kwargs;
    for (nb::handle name : arr.attr("dtype").attr("names")) {
        if (name.equal(nb::str("trading_dt")))
            continue;
        kwargs[name] = arr[name];
    }
    nb::object stored = kwargs["commission_type"];
    kwargs["commission_type"] = self.attr("COMMISSION_TYPE_MAP")[stored];
    PyObject *r = PyObject_Call(G[kParameters].ptr(), nb::tuple().ptr(), kwargs.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}

nb::object get_trading_parameters(nb::object self, nb::object market_code, nb::object start_date,
                                  nb::object end_date, nb::object /*fields: the bundle's convention, unused*/) {
    require_str(market_code, "market_code");
    nb::object table;
    if (nb::cast<std::string>(market_code).find("88") != std::string::npos)
        table = self.attr("_get_trading_parameters_of_continuous")(market_code, start_date, end_date);
    else
        table = G[kVarorize].attr("futures").attr("get_trading_parameters")(market_code, start_date, end_date,
                                                                           "fields"_a = service_fields());
    if (table.is_none() || truthy(table.attr("empty")))
        return nb::none();
    nb::object np = G[kNp];
    nb::object records = table.attr("to_records")();
    nb::object arr = np.attr("zeros")(nb::len(records), "dtype"_a = self.attr("futures_trading_parameters_dtype"));
    arr["market_code"] = market_code;
    // By name rather than by position, so a service table with its columns in another order
    // still lands in the right fields.
    arr["trading_date"] = records["trading_date"];
    for (const auto &pair : kNumericMap)
        arr[pair[0]] = records[pair[1]];
    nb::object by_volume = records["commission_type"].attr("__eq__")("by_volume");
    arr["commission_type"] = np.attr("where")(by_volume, 1.0, 0.0);
    nb::list keys;
    keys.append("market_code");
    keys.append("trading_date");
    return G[kPd].attr("DataFrame")(arr).attr("set_index")(keys);
}

// A date, datetime or time stamp as its calendar date.
nb::object calendar_date(nb::handle d) {
    if (nb::hasattr(d, "date")) {
        nb::object date = d.attr("date");
        if (PyCallable_Check(date.ptr()))
            return date();
    }
    return nb::borrow(d);
}

nb::object get_trading_parameters_of_continuous(nb::object self, nb::object market_code, nb::object start_date,
                                                nb::object end_date) {
    nb::object underlying_symbol = self.attr("_env").attr("get_instrument")(market_code).attr("underlying_symbol");
    nb::object futures = G[kVarorize].attr("futures");
    nb::object dominant = futures.attr("get_dominant")(underlying_symbol, start_date, end_date);
    if (dominant.is_none() || truthy(dominant.attr("empty")))
        return nb::none();

    std::vector<nb::object> dates, codes;
    for (nb::handle d : dominant.attr("index"))
        dates.push_back(calendar_date(d));
    for (nb::handle c : dominant.attr("tolist")())
        codes.push_back(nb::borrow(c));
    if (dates.size() != codes.size() || dates.empty())
        throw nb::value_error("the dominant-contract series is inconsistent");

    // Segments of consecutive dates with the same dominant contract.
    struct Segment {
        nb::object code, start, end;
    };
    std::vector<Segment> segments;
    nb::object current = codes.front(), start = dates.front(), end = dates.front();
    const nb::object &last = dates.back();
    for (std::size_t i = 0; i < dates.size(); ++i) {
        if (!codes[i].equal(current)) {
            segments.push_back({current, start, end});
            current = codes[i];
            start = dates[i];
        }
        end = dates[i];
        if (end.equal(last))
            segments.push_back({current, start, end});
    }

    nb::list parts;
    for (const Segment &s : segments) {
        nb::object part = futures.attr("get_trading_parameters")(s.code, s.start, s.end, "fields"_a = service_fields());
        if (!part.is_none() && nb::len(part) > 0)
            parts.append(part);
    }
    nb::object pd = G[kPd];
    if (nb::len(parts) == 0)
        return pd.attr("DataFrame")();
    return pd.attr("concat")(parts);
}

}  // namespace

void define_futures_parameters(nb::module_ m) {
    nb::list fields;
    for (const char *f : {"long_margin_ratio", "short_margin_ratio", "commission_type", "open_commission_ratio",
                          "close_commission_ratio", "close_commission_today_ratio"})
        fields.append(f);
    m.attr("FUTURES_TRADING_PARAMETERS_FIELDS") = fields;

    nb::object commission = G[kCommissionType];
    nb::dict commission_map;
    commission_map[nb::int_(0)] = commission.attr("BY_MONEY");
    commission_map[nb::int_(1)] = commission.attr("BY_VOLUME");

    nb::list layout;
    layout.append(nb::make_tuple("market_code", "O"));
    layout.append(nb::make_tuple("trading_date", "datetime64[ns]"));
    for (const char *f : {"long_margin_ratio", "short_margin_ratio", "commission_type", "open_commission_ratio",
                          "close_commission_ratio", "close_commission_today_ratio"})
        layout.append(nb::make_tuple(f, "<f8"));
    nb::object dtype = G[kNp].attr("dtype")(layout);

    PyClass(m, "FuturesTradingParametersStore")
        .attr("COMMISSION_TYPE_MAP", commission_map)
        .attr("futures_trading_parameters_dtype", dtype)
        .def("__init__", &init, arg("self"), arg("auto_update_bundle_path"), arg("end_date"),
             arg("custom_future_info"))
        .def_memo("get_futures_trading_parameters", nb::int_(128), &get_futures_trading_parameters, arg("self"),
                  arg("instrument"), arg("dt"))
        .def("_set_custom_info", &set_custom_info, arg("self"), arg("data"), arg("custom_info"))
        .def("_to_namedtuple", &to_namedtuple, arg("self"), arg("arr"))
        .def("get_trading_parameters", &get_trading_parameters, arg("self"), arg("market_code"), arg("start_date"),
             arg("end_date"), arg("fields") = nb::none())
        .def("_get_trading_parameters_of_continuous", &get_trading_parameters_of_continuous, arg("self"),
             arg("market_code"), arg("start_date"), arg("end_date"))
        .finish();
}

}  // namespace norvane::quarrybin

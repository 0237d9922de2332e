// Share capital and stock-connect holdings.
#include <string>

#include <nanobind/stl/string.h>

#include "shareflags/shareflags.hpp"

namespace norvane::shareflags {

namespace {

using namespace nb::literals;

const Name kShareFields{"SHARE_FIELDS"};

const char *kPanelWarning =
    "Panel is removed after pandas version 0.25.0. the default value of 'expect_df' will change to True in the "
    "future.";

nb::object day_text(nb::handle day) {
    if (nb::hasattr(day, "strftime"))
        return day.attr("strftime")("%Y-%m-%d");
    return G[kEnsureDateStr](day);
}

// "%Y-%m-%d" texts of the two dates. A missing date takes the value the client's
// `ensure_date_range` gives for it (formatting None would fail). Returns whether the range was
// checked on the way.
bool date_texts(nb::handle start_date, nb::handle end_date, nb::object &start_text, nb::object &end_text) {
    if (!start_date.is_none())
        start_text = start_date.attr("strftime")("%Y-%m-%d");
    if (!end_date.is_none())
        end_text = end_date.attr("strftime")("%Y-%m-%d");
    if (!start_date.is_none() && !end_date.is_none())
        return false;
    auto [first, last] = unpack2(G[kEnsureDateRange](start_date, end_date));
    if (start_date.is_none())
        start_text = day_text(first);
    if (end_date.is_none())
        end_text = day_text(last);
    return true;
}

// `stack(level=1)` as pandas 3 does it: rows whose values are all missing are kept (older pandas
// drops them by default, which would lose codes added without data).
nb::object stack_codes(nb::handle frame) {
    std::string version = nb::cast<std::string>(G[kPd].attr("__version__"));
    int major = 0, minor = 0;
    std::sscanf(version.c_str(), "%d.%d", &major, &minor);
    if (major >= 3)
        return frame.attr("stack")("level"_a = 1);
    if (major == 2 && minor >= 1)
        return frame.attr("stack")("level"_a = 1, "future_stack"_a = true);
    return frame.attr("stack")("level"_a = 1, "dropna"_a = false);
}

nb::object get_shares(nb::object market_code, nb::object start_date, nb::object end_date, nb::object fields,
                      nb::object expect_df, nb::object) {
    nb::object codes = code_sequence(market_code);
    nb::object start_text, end_text;
    if (!date_texts(start_date, end_date, start_text, end_text))
        G[kEnsureDateRange](start_date, end_date);
    nb::object all_fields = G[kShareFields];
    if (truthy(fields)) {
        fields = G[kEnsureListOfString](fields, "fields");
        G[kCheckItemsInContainer](fields, all_fields, "fields");
        fields = G[kEnsureOrder](fields, all_fields);
    } else {
        fields = builtin("list")(all_fields);
    }

    Triple answer = unpack3(
        call_gid("get_share_daily")("market_code"_a = codes, "start_time"_a = start_text, "end_time"_a = end_text));
    if (no_data(answer.payload))
        return nb::none();
    nb::object pd = G[kPd];
    nb::object payload = answer.payload;

    // Codes without rows get one row of missing values at the last trade date.
    // The set of distinct codes (pandas finds them without making a Python object per row).
    nb::object present = builtin("set")(payload["market_code"].attr("unique")());
    nb::list missing;
    for (nb::handle code : codes) {
        int found = PySequence_Contains(present.ptr(), code.ptr());
        if (found < 0)
            throw nb::python_error();
        if (!found)
            missing.append(code);
    }
    if (nb::len(missing) > 0) {
        nb::dict added;
        added["market_code"] = missing;
        added["trade_date"] = payload["trade_date"].attr("iloc")[nb::int_(-1)];
        payload = pd.attr("concat")(nb::make_tuple(payload, pd.attr("DataFrame")(added)));
    }
    nb::list by_date;
    by_date.append("trade_date");
    by_date.append("market_code");
    nb::object completed = payload.attr("set_index")(by_date).attr("sort_index")();
    completed = completed.attr("unstack")("level"_a = 1).attr("dropna")("how"_a = "all");

    const size_t n_codes = nb::len(codes), n_fields = nb::len(fields);
    if (!truthy(G[kIsPanelRemoved]) && !truthy(expect_df)) {
        nb::object panel = stack_codes(completed).attr("to_panel")();
        if (n_codes == 1)
            panel = panel.attr("minor_xs")(codes[nb::int_(0)]);
        if (n_fields == 1)
            panel = panel[fields[nb::int_(0)]];
        if (n_codes > 1 && n_fields > 1)
            G[kWarnings].attr("warn")(kPanelWarning);
        return panel;
    }

    nb::object frame = stack_codes(completed);
    frame.attr("index") = frame.attr("index").attr("set_names")(by_date);
    nb::list by_code;
    by_code.append("market_code");
    by_code.append("trade_date");
    frame = frame.attr("reorder_levels")(by_code).attr("sort_index")();
    if (truthy(expect_df))
        return frame;
    return without_panel(frame, n_codes, fields);
}

nb::object get_stock_connect(nb::object market_code, nb::object start_date, nb::object end_date, nb::object,
                             nb::object) {
    nb::object start_text, end_text;
    date_texts(start_date, end_date, start_text, end_text);
    Triple answer = unpack3(call_gid("get_stock_connect")(one_item_list(market_code), "start_time"_a = start_text,
                                                          "end_time"_a = end_text));
    if (no_data(answer.payload))
        return nb::none();
    return answer.payload;
}

const char *kGetSharesDoc = R"(获取流通股本信息

:param market_code: 证券代码或代码列表，如 "600000.SH"
:param start_date: 开始日期，datetime.date 或 Timestamp
:param end_date: 结束日期，datetime.date 或 Timestamp
:param fields: 字段名或字段列表（SHARE_FIELDS），默认全部
:param expect_df: 是否返回以 (market_code, trade_date) 为索引的 DataFrame，默认 True
:param market: 市场，默认 "cn"
:return: DataFrame、Series；无数据时为 None)";

const char *kGetStockConnectDoc = R"(获取陆股通持股、持股比例数据

:param market_code: 证券代码，如 "600000.SH"
:param start_date: 开始日期，datetime.date 或 Timestamp
:param end_date: 结束日期，datetime.date 或 Timestamp
:param fields: 字段：shares_holding, holding_ratio, adjusted_holding_ratio
:param expect_df: 默认 True
:return: DataFrame；无数据时为 None)";

}  // namespace

void define_shares(nb::module_ m) {
    nb::dict share_fields;
    for (auto [name, service] : {std::pair{"tot_share", "tot_share"}, {"float_a_share", "a_cir_shares"},
                                 {"non_circulation_a", "a_non_cir_shares"}, {"tot_a_share", "tot_a_share"},
                                 {"preferred_shares", "preferred_shares"}, {"free_circulation", "free_circulation"}})
        share_fields[name] = service;
    m.attr("share_fields") = share_fields;
    nb::dict reversed_fields;
    for (auto [k, v] : share_fields)
        reversed_fields[v] = k;
    m.attr("reversed_fields") = reversed_fields;
    m.attr("SHARE_FIELDS") = nb::make_tuple("tot_share", "float_a_share", "non_tradable_share", "tot_a_share");
    export_query(m, "get_shares",
                 nb::cpp_function(&get_shares, nb::name("get_shares"), arg("market_code"),
                                  arg("start_date") = nb::none(), arg("end_date") = nb::none(),
                                  arg("fields") = nb::none(), arg("expect_df") = true, arg("market") = "cn"),
                 "(market_code, start_date=None, end_date=None, fields=None, expect_df=True, market='cn')",
                 kGetSharesDoc, false);
    export_query(m, "get_stock_connect",
                 nb::cpp_function(&get_stock_connect, nb::name("get_stock_connect"), arg("market_code"),
                                  arg("start_date") = nb::none(), arg("end_date") = nb::none(),
                                  arg("fields") = nb::none(), arg("expect_df") = true),
                 "(market_code, start_date=None, end_date=None, fields=None, expect_df=True)", kGetStockConnectDoc,
                 false);
}

}  // namespace norvane::shareflags

// Securities margin data and margin-eligible stocks.
#include "shareflags/shareflags.hpp"

namespace norvane::shareflags {

namespace {

using namespace nb::literals;

const Name kMarginFields{"MARGIN_FIELDS"}, kMarginType{"MARGIN_TYPE"}, kExchangeType{"EXCHANGE_TYPE"},
    kExchangeContent{"EXCHANGE_CONTENT"};

nb::object get_securities_margin(nb::object market_code, nb::object start_date, nb::object end_date,
                                 nb::object fields, nb::object expect_df, nb::object) {
    nb::object codes = code_sequence(market_code);
    nb::object all_fields = G[kMarginFields];
    if (fields.is_none()) {
        fields = builtin("list")(all_fields);
    } else {
        fields = G[kEnsureListOfString](fields, "fields");
        G[kCheckItemsInContainer](fields, all_fields, "fields");
        fields = G[kEnsureOrder](fields, all_fields);
    }
    nb::object range = G[kEnsureDateRange](start_date, end_date);
    auto [first, last] = unpack2(range);
    start_date = first;
    end_date = last;
    nb::object today_int = G[kEnsureDateOrTodayInt](nb::none());
    // A range reaching past today ends on the last trading day before today.
    if (end_date > today_int)
        end_date = G[kEnsureDateOrTodayInt](G[kGetPreviousTradingDate](today()));
    nb::object start_text = G[kEnsureDateStr](start_date);
    nb::object end_text = G[kEnsureDateStr](end_date);

    Triple answer = unpack3(
        call_gid("margin_detail")("market_code"_a = codes, "start_time"_a = start_text, "end_time"_a = end_text));
    if (no_data(answer.payload))
        return nb::none();
    // With panels still in pandas (expect_df false) there is no panel to build: the same shapes as
    // without panels are returned.

    nb::list keys;
    keys.append("market_code");
    keys.append("trade_date");
    // Sorted copies: the gateway's payload is left as it came.
    nb::object frame = answer.payload.attr("sort_values")(keys).attr("set_index")(keys);
    frame = frame.attr("reindex")("columns"_a = fields);
    if (truthy(expect_df)) {
        builtin("print")(frame);
        return frame;
    }
    return without_panel(frame, nb::len(codes), fields);
}

nb::object get_margin_stocks(nb::object date, nb::object exchange, nb::object margin_type, nb::object) {
    if (truthy(date))
        date = G[kEnsureDateStr](date);
    else
        date = G[kEnsureDateStr](G[kGetPreviousTradingDate](today()));

    nb::object content = G[kExchangeContent];
    if (exchange.is_none()) {
        exchange = content;
    } else {
        exchange = G[kEnsureString](exchange, "exchange");
        nb::object aliases = G[kExchangeType];
        if (truthy(aliases.attr("__contains__")(exchange)))
            exchange = aliases[exchange];
        G[kCheckItemsInContainer](exchange, content, "exchange");
        exchange = one_item_list(exchange);
    }
    margin_type = G[kEnsureString](margin_type, "margin_type");
    G[kCheckItemsInContainer](margin_type, G[kMarginType], "margin_type");

    Triple answer = unpack3(
        call_gid("get_margin_stocks")("exchange"_a = exchange, "margin_type"_a = margin_type, "date"_a = date));
    if (no_data(answer.payload))
        return nb::list();
    nb::object codes = answer.payload[nb::int_(0)].attr("tolist")();
    builtin("print")(nb::len(codes));
    return answer.payload[nb::int_(0)].attr("tolist")();
}

const char *kGetSecuritiesMarginDoc = R"(获取股票融资融券数据

:param market_code: 证券代码或代码列表，如 "600000.SH"
:param start_date: 开始日期，如 "2024-01-01"
:param end_date: 结束日期，如 "2024-01-01"；晚于今天时取今天之前的最近交易日
:param fields: 字段名或字段列表，默认全部 MARGIN_FIELDS
:param expect_df: 是否返回以 (market_code, trade_date) 为索引的 DataFrame，默认 True
:param market: 市场，默认 "cn"
:return: DataFrame、Series；无数据时为 None)";

const char *kGetMarginStocksDoc = R"(获取融资融券标的列表

:param date: 查询日期，默认为今天之前的最近交易日
:param exchange: 交易所，"BJ" 为北京证券交易所，"SZ" 为深圳证券交易所，"SH" 为上海证券交易所；默认全部
:param margin_type: "all" 全部，"stock" 融券卖出，"cash" 融资买入；默认 "all"
:param market: 市场，默认 "cn"
:return: 证券代码列表)";

}  // namespace

void define_securities_margin(nb::module_ m) {
    m.attr("MARGIN_FIELDS") = nb::make_tuple("borrow_money_balance", "purch_with_borrow_money",
                                             "repayment_of_borrow_money", "sec_lending_balance",
                                             "sales_of_borrowed_sec", "repayment_of_borrow_sec",
                                             "sec_lending_balance_vol", "margin_trade_balance");
    nb::dict summary;
    summary["SH"] = "XSHG";
    summary["XSHG"] = "XSHG";
    summary["SZ"] = "XSHE";
    summary["XSHE"] = "XSHE";
    m.attr("MARGIN_SUMMARY_MAP") = summary;
    export_query(m, "get_securities_margin",
                 nb::cpp_function(&get_securities_margin, nb::name("get_securities_margin"), arg("market_code"),
                                  arg("start_date") = nb::none(), arg("end_date") = nb::none(),
                                  arg("fields") = nb::none(), arg("expect_df") = true, arg("market") = "cn"),
                 "(market_code, start_date=None, end_date=None, fields=None, expect_df=True, market='cn')",
                 kGetSecuritiesMarginDoc, true);
}

void define_margin_stocks(nb::module_ m) {
    m.attr("MARGIN_TYPE") = nb::make_tuple("all", "stock", "cash");
    nb::dict exchange_type;
    for (auto [alias, code] : {std::pair{"XSHE", "SZ"}, {"xshe", "SZ"}, {"sz", "SZ"}, {"XSHG", "SH"},
                               {"xshg", "SH"}, {"sh", "SH"}, {"bj", "BJ"}})
        exchange_type[alias] = code;
    m.attr("EXCHANGE_TYPE") = exchange_type;
    nb::list content;
    for (const char *code : {"SH", "SZ", "BJ"})
        content.append(code);
    m.attr("EXCHANGE_CONTENT") = content;
    export_query(m, "get_margin_stocks",
                 nb::cpp_function(&get_margin_stocks, nb::name("get_margin_stocks"), arg("date") = nb::none(),
                                  arg("exchange") = nb::none(), arg("margin_type") = "all", arg("market") = "cn"),
                 "(date=None, exchange=None, margin_type='all', market='cn')", kGetMarginStocksDoc, true);
}

}  // namespace norvane::shareflags

// shareflags: stock-status queries of the data-service client.
#include "common/module_init.hpp"
#include "common/names.hpp"
#include "shareflags/shareflags.hpp"

namespace norvane::shareflags {

Globals G;

namespace {

void body(nb::module_ m) {
    G.bind(m);
    m.attr("warnings") = import_module("warnings");
    m.attr("datetime") = import_module("datetime");
    m.attr("pd") = import_module("pandas");
    m.attr("gid") = import_from("norvane", "gid");
    m.attr("ApiRspCode") = import_from("norvane.data.wexclient.commons", "ApiRspCode");
    m.attr("convert_dt_to_date_str") = import_from("norvane.tessel.utils.datetime_func", "convert_dt_to_date_str");
    // The client's own modules, two package levels up from this module.
    nb::str name = nb::borrow<nb::str>(m.attr("__name__"));
    std::string client = nb::borrow<nb::str>(name.attr("rsplit")(".", 2)[0]).c_str();
    m.attr("export_as_api") = import_from((client + ".decorators").c_str(), "export_as_api");
    for (const char *n : {"vovoredu_serialize", "http_conv_list_to_csv"})
        m.attr(n) = import_from((client + ".vovoredu_helper").c_str(), n);
    for (const char *n : {"ensure_date_range", "ensure_date_or_today_int", "ensure_list_of_string",
                          "check_items_in_container", "ensure_order", "raise_for_no_panel", "ensure_date_str",
                          "ensure_date_int", "ensure_string"})
        m.attr(n) = import_from((client + ".validators").c_str(), n);
    for (const char *n : {"get_trading_dates", "get_previous_trading_date", "get_trading_dates_in_type"})
        m.attr(n) = import_from((client + ".services.calendar").c_str(), n);
    for (const char *n : {"is_panel_removed", "to_datetime"})
        m.attr(n) = import_from((client + ".utils").c_str(), n);

    define_suspension(m);
    define_industry_concept(m);
    define_securities_margin(m);
    define_shares(m);
    define_margin_stocks(m);
}

}  // namespace
}  // namespace norvane::shareflags

NORVANE_MODULE(shareflags, norvane::shareflags::body)

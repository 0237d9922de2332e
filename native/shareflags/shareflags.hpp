// Internal declarations of the stock-status queries module.
#pragma once

#include <utility>

#include <nanobind/nanobind.h>

#include "common/names.hpp"
#include "common/pyclass.hpp"

namespace norvane::shareflags {

namespace nb = nanobind;

// The module's globals: every imported name is read from here when code runs.
extern Globals G;

// Names of the module namespace read at call time.
extern const Name kGid, kPd, kDatetime, kWarnings, kApiRspCode, kConvertDtToDateStr, kEnsureDateRange,
    kEnsureDateOrTodayInt, kEnsureListOfString, kCheckItemsInContainer, kEnsureOrder, kRaiseForNoPanel,
    kEnsureDateStr, kEnsureString, kGetPreviousTradingDate, kIsPanelRemoved;

// Decorates `impl` as the module does for every query and binds the result under `name`:
// export_as_api(impl), or export_as_api(vovoredu_serialize(converter=http_conv_list_to_csv)(impl))
// when `serialised`. The compiled function is presented as a builtin function whose __doc__ is
// `doc` exactly and whose signature (for inspect) is `text_signature`, e.g. "(market_code, x=1)".
void export_query(nb::module_ m, const char *name, nb::object impl, const char *text_signature, const char *doc,
                  bool serialised);

// (payload, code, message) of a gateway answer, unpacked as Python unpacks a 3-tuple.
struct Triple {
    nb::object payload, code, message;
};
Triple unpack3(nb::handle answer);
// A pair, unpacked as Python unpacks `a, b = value`.
std::pair<nb::object, nb::object> unpack2(nb::handle value);

// A payload counts as holding no data when it is None or its `empty` is true.
bool no_data(nb::handle payload);
bool truthy(nb::handle value);

// The shapes a (code, date)-indexed frame takes without panels (expect_df false): one code gives
// its date-indexed frame (a series for one field), several codes with one field a date x code
// table; several codes with several fields need panels (raise_for_no_panel).
nb::object without_panel(nb::object frame, size_t n_codes, nb::handle fields);

// [item]
nb::list one_item_list(nb::handle item);

// A list or tuple (subclasses too) is the code sequence; anything else is one code.
nb::object code_sequence(nb::handle market_code);
bool is_succ(nb::handle code);
nb::object today();                       // datetime.date.today()
nb::object builtin(const char *name);     // the host's builtins, e.g. print
nb::object call_gid(const char *request); // the gateway request `request` (read at call time)

// Parts of the module body, run in this order after the imports.
void define_suspension(nb::module_ m);          // is_suspended, is_st_stock, _is_st_stock, get_suspend_days
void define_industry_concept(nb::module_ m);    // get_industry, concept
void define_securities_margin(nb::module_ m);   // MARGIN_FIELDS, MARGIN_SUMMARY_MAP, get_securities_margin
void define_shares(nb::module_ m);              // share_fields, reversed_fields, SHARE_FIELDS, get_shares,
                                                // get_stock_connect
void define_margin_stocks(nb::module_ m);       // MARGIN_TYPE, EXCHANGE_TYPE, EXCHANGE_CONTENT, get_margin_stocks

}  // namespace norvane::shareflags

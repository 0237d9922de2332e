// Industry and concept members on one day.
#include "shareflags/shareflags.hpp"

namespace norvane::shareflags {

namespace {

using namespace nb::literals;

// Codes of a classification: the "market_code" column (a lone column is taken to hold the codes).
nb::object member_codes(const Triple &answer) {
    if (!is_succ(answer.code))
        return nb::none();
    if (no_data(answer.payload))
        return nb::none();
    if (nb::len(nb::object(answer.payload.attr("columns"))) == 1) {
        nb::list names;
        names.append("market_code");
        answer.payload.attr("columns") = names;
    }
    return answer.payload["market_code"];
}

nb::object get_industry(nb::object industry, nb::object source, nb::object date) {
    nb::object datetime = G[kDatetime];
    if (date.is_none())
        date = G[kConvertDtToDateStr](today());
    if (nb::isinstance(date, datetime.attr("datetime")))
        date = G[kConvertDtToDateStr](date);
    return member_codes(unpack3(call_gid("get_industry")(industry, source, date)));
}

nb::object members_of_concepts(nb::args concepts, nb::kwargs kwargs) {
    nb::object date = kwargs.attr("pop")("date", nb::none());
    if (date.is_none())
        date = today();
    if (nb::isinstance(date, G[kDatetime].attr("date")))
        date = G[kConvertDtToDateStr](date);
    return member_codes(unpack3(call_gid("get_concept")(concepts, date)));
}

const char *kGetIndustryDoc = R"(获取行业股票列表

:param industry: 行业名称或行业代码
:param source: 分类来源。10:万得行业分类； 12:证监会行业分类； 13:申万行业分类； 14:中信行业分类；港股: hsi: 恒生
:param date: 查询日期，默认今天
:return: 证券代码的 Series；无数据时为 None)";

const char *kConceptDoc = R"(获取对应某个概念的股票列表。

:param concepts: 概念字符串，可传多个，如 "民营医院"
:param date: 查询日期，默认为当前日期
:return: 证券代码的 Series；无数据时为 None)";

}  // namespace

void define_industry_concept(nb::module_ m) {
    export_query(m, "get_industry",
                 nb::cpp_function(&get_industry, nb::name("get_industry"), arg("industry"), arg("source") = 12,
                                  arg("date") = nb::none()),
                 "(industry, source=12, date=None)", kGetIndustryDoc, false);
    export_query(m, "concept", nb::cpp_function(&members_of_concepts, nb::name("concept")), "(*concepts, **kwargs)", kConceptDoc,
                 true);
}

}  // namespace norvane::shareflags

// Pieces shared by the queries: registration, the gateway's answer triple, small tests.
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <string>

#include "shareflags/shareflags.hpp"

namespace norvane::shareflags {

const Name kGid{"gid"}, kPd{"pd"}, kDatetime{"datetime"}, kWarnings{"warnings"}, kApiRspCode{"ApiRspCode"},
    kConvertDtToDateStr{"convert_dt_to_date_str"}, kEnsureDateRange{"ensure_date_range"},
    kEnsureDateOrTodayInt{"ensure_date_or_today_int"}, kEnsureListOfString{"ensure_list_of_string"},
    kCheckItemsInContainer{"check_items_in_container"}, kEnsureOrder{"ensure_order"},
    kRaiseForNoPanel{"raise_for_no_panel"}, kEnsureDateStr{"ensure_date_str"}, kEnsureString{"ensure_string"},
    kGetPreviousTradingDate{"get_previous_trading_date"}, kIsPanelRemoved{"is_panel_removed"};

namespace {

// The builtin-function face of each query forwards every call to its compiled body. The face is
// a function of the module (like any builtin module function, so its repr, __qualname__ and
// __self__ are the usual ones); the body it forwards to is found by its slot.
constexpr int kMaxQueries = 16;
PyObject *bodies[kMaxQueries] = {};  // strong references, kept for the life of the process
int query_count = 0;

template <int I>
PyObject *forward(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return PyObject_Vectorcall(bodies[I], args, static_cast<size_t>(nargs), kwnames);
}

template <int... I>
constexpr auto make_forwarders(std::integer_sequence<int, I...>) {
    return std::array<PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *), sizeof...(I)>{
        &forward<I>...};
}
constexpr auto forwarders = make_forwarders(std::make_integer_sequence<int, kMaxQueries>{});

}  // namespace

void export_query(nb::module_ m, const char *name, nb::object impl, const char *text_signature, const char *doc,
                  bool serialised) {
    if (query_count >= kMaxQueries)
        throw std::runtime_error("too many queries for the forwarding slots");
    // "name($module, ...)\n--\n\n<doc>": CPython splits this into __text_signature__ and __doc__,
    // so the docstring's first line is the query's own and inspect still sees the parameters.
    std::string sig = text_signature;
    std::string ml_doc = std::string(name) + "($module" + (sig.size() > 2 ? ", " : "") + sig.substr(1) +
                         "\n--\n\n" + doc;
    const int slot = query_count++;
    bodies[slot] = impl.release().ptr();
    // The method definition must outlive the function object, which lives as long as the module
    // (once per process): both are kept for the life of the process.
    auto *def = new PyMethodDef{};
    def->ml_name = strdup(name);
    def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(forwarders[slot]));
    def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def->ml_doc = strdup(ml_doc.c_str());
    nb::object module_name = m.attr("__name__");
    PyObject *fn = PyCFunction_NewEx(def, m.ptr(), module_name.ptr());
    if (!fn)
        throw nb::python_error();
    nb::object query = nb::steal(fn);
    if (serialised)
        query = G[Name("vovoredu_serialize")](nb::arg("converter") = G[Name("http_conv_list_to_csv")])(query);
    m.attr(name) = G[Name("export_as_api")](query);
}

namespace {

// `a, b, ... = value` for `count` targets, with Python's errors.
void unpack(nb::handle value, int count, nb::object *out) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iter = nb::steal(it);
    for (int i = 0; i < count; ++i) {
        PyObject *v = PyIter_Next(it);
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", count, i);
            throw nb::python_error();
        }
        out[i] = nb::steal(v);
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", count);
        throw nb::python_error();
    }
    if (PyErr_Occurred())
        throw nb::python_error();
}

}  // namespace

Triple unpack3(nb::handle answer) {
    nb::object items[3];
    unpack(answer, 3, items);
    return {items[0], items[1], items[2]};
}

std::pair<nb::object, nb::object> unpack2(nb::handle value) {
    nb::object items[2];
    unpack(value, 2, items);
    return {items[0], items[1]};
}

nb::object without_panel(nb::object frame, size_t n_codes, nb::handle fields) {
    using namespace nb::literals;
    const size_t n_fields = nb::len(fields);
    if (n_codes > 1 && n_fields > 1)
        G[kRaiseForNoPanel]();
    if (n_codes == 1) {
        frame = frame.attr("reset_index")("level"_a = 0, "drop"_a = true);
        if (n_fields == 1)
            return frame[fields[nb::int_(0)]];
        return frame;
    }
    nb::object block = frame.attr("unstack")("level"_a = 0)[fields[nb::int_(0)]];
    return block.attr("rename_axis")("index"_a = nb::none(), "columns"_a = nb::none());
}

nb::list one_item_list(nb::handle item) {
    nb::list l;
    l.append(item);
    return l;
}

nb::object code_sequence(nb::handle market_code) {
    if (PyList_Check(market_code.ptr()) || PyTuple_Check(market_code.ptr()))
        return nb::borrow(market_code);
    return one_item_list(market_code);
}

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool no_data(nb::handle payload) { return payload.is_none() || truthy(payload.attr("empty")); }

bool is_succ(nb::handle code) { return truthy(G[kApiRspCode].attr("is_succ")(code)); }

nb::object today() { return G[kDatetime].attr("date").attr("today")(); }

nb::object builtin(const char *name) { return nb::module_::import_("builtins").attr(name); }

nb::object call_gid(const char *request) { return G[kGid].attr(request); }

}  // namespace norvane::shareflags

// AlgoStore: daily VWAP / TWAP / volume bars of an intraday window, computed from the minute-bar
// files and cached per window in HDF5 files shared by several processes under a file lock.
//
// The algo files are a cache of derived data, written crash-safe: a new file appears by rename
// when complete, an in-place change runs inside a marker's lifetime (a file whose change was cut
// short is set aside unopened), and a file or dataset found damaged anyway is moved aside or
// dropped and rebuilt from the minute file. Every query checks and reads under the file's lock.
#include <bit>
#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/args.hpp"
#include "common/pyclass.hpp"
#include "common/record_view.hpp"
#include "kernels/algo_daily_bars.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

using namespace nb::literals;

namespace {

static_assert(std::endian::native == std::endian::little, "algo records are written in little-endian order");

const Name kOs{"os"}, kGlob{"glob"}, kH5py{"h5py"}, kNp{"np"}, kPd{"pd"}, kFileLock{"FileLock"},
    kTimeout{"Timeout"}, kH5File{"h5_file"}, kUserLog{"user_system_log"}, kSafeDiv{"safe_div"}, kAlgo{"ALGO"};

constexpr const char *kSixFields[] = {"orig_time", "close_price", "volume", "total_turnover", "high_price", "low_price"};
constexpr const char *kComputingMsg = "正在计算算法单数据，请稍后.";
constexpr const char *kMissingMinbarMsg = "算法单异常：分钟线数据不存在，请更新数据 norvane update-data --minbar {}";
constexpr const char *kBusyMsg = "算法单文件更新失败，请检查文件是否被占用: ";

// The algo record type and the compiled `_calc_vwap` (to tell a Python override apart). Both are
// created once under the GIL when the class is defined and live for the process.
PyObject *g_algo_dtype = nullptr;
PyObject *g_calc_vwap = nullptr;

nb::object algo_dtype() { return nb::borrow(g_algo_dtype); }

// ---- small Python helpers ------------------------------------------------------------------------

// An opened HDF5 file closed on every exit. On the error path a failing close must not replace
// the error being raised, so it is dropped there; on the normal path it propagates.
class H5Closer {
public:
    explicit H5Closer(nb::object file) : file_(std::move(file)) {}
    H5Closer(const H5Closer &) = delete;
    H5Closer &operator=(const H5Closer &) = delete;
    ~H5Closer() {
        if (file_.is_valid()) {
            PyObject *r = PyObject_CallMethod(file_.ptr(), "close", nullptr);
            if (r)
                Py_DECREF(r);
            else
                PyErr_Clear();  // unwinding another error: keep that one
        }
    }
    const nb::object &get() const { return file_; }
    void close_quietly() {
        nb::object f = std::move(file_);
        PyObject *r = PyObject_CallMethod(f.ptr(), "close", nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();  // a damaged file may not close cleanly; it is set aside next
    }
    void close() {
        nb::object f = std::move(file_);
        f.attr("close")();
    }

private:
    nb::object file_;
};

nb::object h5_open(nb::handle path, const char *mode) { return G[kH5py].attr("File")(path, mode); }

bool path_exists(nb::handle path) { return nb::cast<bool>(G[kOs].attr("path").attr("exists")(path)); }

// Opening errors that say "someone else holds the file" or "not allowed", not "the file is damaged".
bool is_busy_error(const nb::python_error &e) {
    if (e.matches(PyExc_BlockingIOError) || e.matches(PyExc_PermissionError))
        return true;
    if (!e.matches(PyExc_OSError))
        return false;
    nb::object eno = nb::getattr(e.value(), "errno", nb::none());
    if (!eno.is_none()) {
        int n = nb::cast<int>(eno);
        if (n == EAGAIN || n == EWOULDBLOCK || n == EACCES || n == EPERM || n == EBUSY)
            return true;
    }
    std::string text = nb::cast<std::string>(nb::str(e.value()));
    return text.find("unable to lock file") != std::string::npos || text.find("Permission denied") != std::string::npos;
}

// Errors a damaged HDF5 object raises when opened or read.
bool is_damage_error(const nb::python_error &e) {
    return e.matches(PyExc_OSError) || e.matches(PyExc_RuntimeError) || e.matches(PyExc_KeyError) ||
           e.matches(PyExc_ValueError);
}

void warn_user(const std::string &text) { G[kUserLog].attr("warning")(nb::str(text.c_str())); }

// Moves a damaged algo file aside (one copy kept, beside the file) so that it is rebuilt.
void quarantine(nb::handle path, const nb::python_error &why) {
    nb::str aside = nb::str("{}.corrupt").format(path);
    G[kOs].attr("replace")(path, aside);
    warn_user(std::string("算法单缓存文件已损坏，已移至 ") + nb::cast<std::string>(aside) +
              " 并从分钟线重新计算: " + nb::cast<std::string>(nb::str(why.value())));
}

// Whether an object of an algo file is an extendable 1-D dataset of the algo record type (what this
// store writes).
bool is_algo_dataset(nb::handle obj) {
    if (!nb::isinstance(obj, G[kH5py].attr("Dataset")))
        return false;
    return obj.attr("dtype").equal(algo_dtype()) && nb::len(nb::object(obj.attr("shape"))) == 1 &&
           obj.attr("maxshape").equal(nb::make_tuple(nb::none()));  // extendable in place
}

std::string missing_field(const char *name) { return std::string("no field of name ") + name; }

kernels::ColumnView required_field(const RecordArrayView &view, const char *name) {
    auto c = field_column(view, name);
    if (!c) {
        std::string msg = missing_field(name);
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        throw nb::python_error();
    }
    return *c;
}

nb::object empty_bars() { return G[kNp].attr("empty")(0, algo_dtype()); }

// ---- _calc_vwap ----------------------------------------------------------------------------------

// A numeric 1-D array of one column of a one-day table (a column of another dtype, such as a
// nullable one, is converted to float64 with missing values as NaN).
nb::object table_column(nb::handle df, const char *name) {
    nb::object column = df[name];
    nb::object arr = G[kNp].attr("asarray")(column.attr("to_numpy")());
    std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    if (kind != "b" && kind != "i" && kind != "u" && kind != "f")
        arr = column.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = G[kNp].attr("nan"));
    return arr;
}

double zero_divisor_vwap(const kernels::DayPrices &p, bool int_volume, double multiplier) {
    // The engine decides what a zero volume gives; only its result is divided by the multiplier.
    nb::object vol = int_volume ? nb::object(nb::int_(0)) : nb::object(nb::float_(p.volume_sum));
    nb::object r = G[kSafeDiv](nb::float_(p.turnover_sum), vol);
    return to_double(r, "safe_div result") / multiplier;
}

nb::object calc_vwap(nb::object /*self*/, nb::object df, nb::object contract_multiplier) {
    const double multiplier = to_double(contract_multiplier, "contract_multiplier");
    nb::object volume = table_column(df, "volume"), turnover = table_column(df, "total_turnover"),
               high = table_column(df, "high_price"), low = table_column(df, "low_price");
    RecordArrayView vv = record_view(volume, "volume"), tv = record_view(turnover, "total_turnover"),
                    hv = record_view(high, "high_price"), lv = record_view(low, "low_price");
    kernels::ColumnView vc = plain_column(vv, "volume"), tc = plain_column(tv, "total_turnover"),
                        hc = plain_column(hv, "high_price"), lc = plain_column(lv, "low_price");
    const std::size_t n = vv.length;
    if (tv.length != n || hv.length != n || lv.length != n)
        throw std::invalid_argument("the day's columns differ in length");
    kernels::DayPrices p;
    {
        nb::gil_scoped_release unlocked;  // reads only the four arrays referenced above
        p = kernels::day_prices(vc, tc, hc, lc, n);
    }
    if (p.needs_zero_divisor_rule())
        return nb::float_(zero_divisor_vwap(p, vc.kind != kernels::NumKind::Float, multiplier));
    return nb::float_(p.vwap(multiplier));
}

// True when `self._calc_vwap` is the compiled method (not overridden by a subclass or instance).
bool native_calc_vwap(nb::handle self, nb::object &bound) {
    bound = nb::getattr(self, "_calc_vwap");
    return PyMethod_Check(bound.ptr()) && PyMethod_GET_FUNCTION(bound.ptr()) == g_calc_vwap &&
           PyMethod_GET_SELF(bound.ptr()) == self.ptr();
}

// ---- the computation -----------------------------------------------------------------------------

// Daily algo records of the trading dates from `update_start_date` on, or None when no bar of
// that range lies inside the window. `data` holds the six fields of the rows from `first_row` on.
nb::object compute_bars(nb::object self, nb::object index, nb::object data, nb::object first_row,
                        nb::object update_start_date, nb::object start_min, nb::object end_min,
                        nb::object instrument) {
    const long long start_date = to_long_long(update_start_date, "update_start_date");
    const long long s_min = to_long_long(start_min, "start_min"), e_min = to_long_long(end_min, "end_min");
    RecordArrayView iv = record_view(index, "index");
    kernels::ColumnView idate = required_field(iv, "date"), iline = required_field(iv, "line_no");
    RecordArrayView dv = record_view(data, "data");
    kernels::MinuteColumns cols;
    cols.orig_time = required_field(dv, kSixFields[0]);
    cols.close = required_field(dv, kSixFields[1]);
    cols.volume = required_field(dv, kSixFields[2]);
    cols.turnover = required_field(dv, kSixFields[3]);
    cols.high = required_field(dv, kSixFields[4]);
    cols.low = required_field(dv, kSixFields[5]);
    cols.n_rows = dv.length;
    cols.first_row = to_long_long(first_row, "first_row");

    nb::object bound;
    const bool native = native_calc_vwap(self, bound);
    kernels::AlgoResult res;
    {
        nb::gil_scoped_release unlocked;  // the kernel reads only `index` and `data`, held by this frame
        std::vector<kernels::IndexRecord> kept = kernels::kept_index_records(idate, iline, iv.length, start_date);
        res = kernels::algo_daily_bars(kept, cols, s_min, e_min, /*keep_rows=*/!native);
    }
    if (res.kept_total == 0)
        return nb::none();

    const std::size_t n = res.days.size();
    std::vector<double> vwap(n, std::numeric_limits<double>::quiet_NaN());
    nb::object multiplier_obj = instrument.attr("contract_multiplier");
    if (native) {
        const double multiplier = to_double(multiplier_obj, "contract_multiplier");
        const bool int_volume = cols.volume.kind != kernels::NumKind::Float;
        for (std::size_t d = 0; d < n; ++d) {
            const kernels::DayPrices &p = res.days[d].prices;
            if (p.count == 0)
                continue;
            vwap[d] = p.needs_zero_divisor_rule() ? zero_divisor_vwap(p, int_volume, multiplier) : p.vwap(multiplier);
        }
    } else {
        // A Python override gets what the per-day rule always got: one trading date's bars inside
        // the window as a table of the six fields and the trading-date label, rows labelled by
        // their row numbers in `data`.
        nb::object np = G[kNp];
        const std::size_t kept = res.kept_rows.size();
        nb::object rows = np.attr("empty")(kept, "int64");
        nb::object labels = np.attr("empty")(kept, "int64");
        {
            // Fresh contiguous arrays of our own.
            auto *row_out = const_cast<std::int64_t *>(reinterpret_cast<const std::int64_t *>(record_view(rows, "rows").data));
            auto *label_out = const_cast<std::int64_t *>(reinterpret_cast<const std::int64_t *>(record_view(labels, "labels").data));
            if (kept)
                std::memcpy(row_out, res.kept_rows.data(), kept * sizeof(std::int64_t));
            for (const auto &day : res.days)
                for (std::size_t k = day.kept_begin; k < day.kept_end; ++k)
                    label_out[k] = day.date;
        }
        nb::object positions = rows - nb::int_(cols.first_row);
        nb::list six;
        for (const char *f : kSixFields)
            six.append(nb::str(f));
        nb::object table = G[kPd].attr("DataFrame")(data[six][positions], "index"_a = rows);
        table["date"] = labels;
        nb::object iloc = table.attr("iloc");
        for (std::size_t d = 0; d < n; ++d) {
            const auto &day = res.days[d];
            if (day.prices.count == 0)
                continue;
            nb::object part = iloc[nb::slice(day.kept_begin, day.kept_end)];
            vwap[d] = to_double(bound(part, multiplier_obj), "_calc_vwap result");
        }
    }

    nb::object out = G[kNp].attr("empty")(n, algo_dtype());
    RecordArrayView ov = record_view(out, "algo records");
    nb::object fields = algo_dtype().attr("fields");  // a mappingproxy
    nb::object algo = G[kAlgo];
    auto offset = [&](nb::handle name) { return nb::cast<std::size_t>(nb::borrow<nb::tuple>(fields[name])[1]); };
    const std::size_t o_date = offset(nb::str("date")), o_vwap = offset(algo.attr("VWAP").attr("value")),
                      o_twap = offset(algo.attr("TWAP").attr("value")), o_vol = offset(nb::str("volume"));
    auto *base = const_cast<unsigned char *>(ov.data);  // a fresh array of our own
    for (std::size_t d = 0; d < n; ++d) {
        const auto &day = res.days[d];
        unsigned char *rec = base + d * ov.itemsize;
        const std::uint32_t date = static_cast<std::uint32_t>(day.date);
        const double twap = day.prices.count ? day.prices.twap() : std::numeric_limits<double>::quiet_NaN();
        const std::uint64_t volume = day.prices.count ? day.volume : 0;
        std::memcpy(rec + o_date, &date, sizeof date);
        std::memcpy(rec + o_vwap, &vwap[d], sizeof(double));
        std::memcpy(rec + o_twap, &twap, sizeof twap);
        std::memcpy(rec + o_vol, &volume, sizeof volume);
    }
    return out.attr("view")(G[kNp].attr("recarray"));
}

// Reads the `index` of an open minute file and the six fields from the first kept record's row on,
// and computes the records. `whole` tells whether they cover every trading date of the file.
nb::object compute_from_file(nb::handle self, nb::handle h5, long long start_date, nb::handle start_min,
                             nb::handle end_min, nb::handle instrument, bool &whole) {
    nb::object index = h5["index"][nb::tuple()];
    RecordArrayView iv = record_view(index, "index");
    kernels::ColumnView idate = required_field(iv, "date"), iline = required_field(iv, "line_no");
    std::vector<kernels::IndexRecord> kept = kernels::kept_index_records(idate, iline, iv.length, start_date);
    whole = kept.size() == iv.length;
    if (kept.empty())
        return nb::none();
    const long long first = kept.front().line_no;
    if (first < 0)
        throw std::out_of_range("minute index: negative line_no");
    // All fields of the rows from L on, in one read: HDF5 copies whole records straight through,
    // while a subset of fields goes through a per-member conversion several times slower. The
    // kernel reads the six fields in place (offsets and strides of the record type).
    nb::object data = h5["data"][nb::slice(nb::int_(first), nb::none(), nb::none())];
    return self.attr("_compute_bars")(index, data, first, start_date, start_min, end_min, instrument);
}

// ---- writing an algo file crash-safe -------------------------------------------------------------

void remove_quietly(nb::handle path) {
    try {
        G[kOs].attr("remove")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_FileNotFoundError))
            throw;
    }
}

// Writes `records` into the dataset `market_code` of an open algo file: a dataset whose tail is at or
// after the new records' first date, or that no longer reads, is replaced; otherwise they are appended.
void store_records(nb::handle self, nb::handle h5, nb::handle market_code, nb::handle records, long long start_date) {
    if (h5.attr("__contains__")(market_code).ptr() == Py_True) {
        bool drop = false;
        try {
            nb::object ds = h5[market_code];
            if (!is_algo_dataset(ds))
                drop = true;  // not ours to extend: replaced whole
            else if (nb::len(ds) > 0) {
                nb::object last = ds[nb::int_(-1)]["date"];
                drop = to_long_long(last, "date") >= start_date;
            }
        } catch (nb::python_error &e) {
            if (!is_damage_error(e))
                throw;
            drop = true;  // unreadable: rebuilt from the records (which then start at the first date)
        }
        if (drop)
            h5.attr("__delitem__")(market_code);
    }
    if (h5.attr("__contains__")(market_code).ptr() == Py_True) {
        self.attr("_append")(h5[market_code], records);
    } else {
        h5.attr("create_dataset")(market_code, "data"_a = records, "chunks"_a = true, "compression"_a = 9,
                                  "shuffle"_a = false, "maxshape"_a = nb::make_tuple(nb::none()));
    }
}

nb::str writing_marker(nb::handle path) { return nb::str("{}.writing").format(path); }

// A writer that changes an algo file in place leaves a marker beside it for the length of the
// change. A marker found with the lock held means that writer died (or failed) in the middle: the
// file may be torn anywhere, so it is never opened again but set aside whole, and every dataset
// in it is rebuilt from the minute files when next asked for.
void recover_interrupted_write(nb::handle path) {
    nb::object marker = writing_marker(path);
    if (!path_exists(marker))
        return;
    nb::object os = G[kOs];
    if (path_exists(path)) {
        nb::str aside = nb::str("{}.corrupt").format(path);
        os.attr("replace")(path, aside);
        warn_user(std::string("算法单缓存文件在写入时中断，已移至 ") + nb::cast<std::string>(aside) +
                  " 并从分钟线重新计算");
    }
    remove_quietly(marker);
}

// A new algo file is written under a temporary name and renamed into place when complete, so a
// writer killed at any moment leaves no file or a whole one.
void create_algo_file(nb::handle self, nb::handle path, nb::handle market_code, nb::handle records, long long start_date) {
    nb::object os = G[kOs];
    nb::str tmp = nb::str("{}.tmp-{}-{}").format(path, os.attr("getpid")(), os.attr("urandom")(6).attr("hex")());
    try {
        H5Closer h5(h5_open(tmp, "w"));
        store_records(self, h5.get(), market_code, records, start_date);
        h5.close();
        os.attr("replace")(tmp, path);
    } catch (...) {
        // Leave no temporary behind; the error being raised is the one that matters.
        PyObject *r = PyObject_CallMethod(os.ptr(), "remove", "O", tmp.ptr());
        if (r)
            Py_DECREF(r);
        PyErr_Clear();
        throw;
    }
}

// An existing file is changed in place (its other datasets are not copied on every update), inside
// a marker's lifetime (see recover_interrupted_write). There is no fsync: after a power loss a file
// whose blocks never reached the disk fails to open or to inflate, and is rebuilt like any other
// damaged file.
void write_algo_file(nb::handle self, nb::handle path, nb::handle market_code, nb::handle records, long long start_date) {
    recover_interrupted_write(path);
    if (!path_exists(path))
        return create_algo_file(self, path, market_code, records, start_date);
    nb::object os = G[kOs];
    nb::object marker = writing_marker(path);
    nb::object fd = os.attr("open")(marker, nb::int_(O_WRONLY | O_CREAT | O_TRUNC), nb::int_(0644));
    os.attr("close")(fd);
    nb::object file;
    try {
        file = h5_open(path, "a");
    } catch (nb::python_error &e) {
        remove_quietly(marker);  // nothing was written
        if (is_busy_error(e) || !is_damage_error(e))
            throw;
        quarantine(path, e);  // the file does not open: set it aside and start anew
        return create_algo_file(self, path, market_code, records, start_date);
    }
    {
        // On an error from here on the marker stays: the file may be half changed.
        H5Closer h5(file);
        store_records(self, h5.get(), market_code, records, start_date);
        h5.close();
    }
    remove_quietly(marker);
}

// Temporaries of writers that died before their rename (only called with the file's lock held).
void remove_stale_temporaries(nb::handle path) {
    nb::object glob = G[kGlob];
    nb::object pattern = glob.attr("escape")(path) + nb::str(".tmp-*");
    for (nb::handle p : glob.attr("glob")(pattern))
        remove_quietly(p);
}

// ---- the store -----------------------------------------------------------------------------------

void init(nb::object self, nb::object path, nb::object min_path) {
    nb::object os = G[kOs];
    os.attr("makedirs")(path, "exist_ok"_a = true);
    self.attr("_path") = path;
    nb::dict file_map;
    nb::object ospath = os.attr("path");
    // Relative to the root, so that characters of the root are never taken as a pattern.
    nb::object found = G[kGlob].attr("glob")("**/*.h5", "root_dir"_a = min_path, "recursive"_a = true);
    for (nb::handle rel : found) {
        nb::object full = ospath.attr("join")(min_path, rel);
        nb::object key = ospath.attr("splitext")(ospath.attr("basename")(full))[0];
        file_map[key] = full;  // a later file of the same name wins
    }
    self.attr("_file_map") = file_map;
}

nb::object get_algo_file_path(nb::object self, nb::object start_min, nb::object end_min) {
    return G[kOs].attr("path").attr("join")(self.attr("_path"),
                                            nb::str("algo_{}_{}.h5").format(start_min, end_min));
}

// The first trading date to (re)compute, or None when the cached dataset is up to date. A dataset
// is consistent only when its dates are the minute file's first trading dates, one for one.
nb::object get_update_start_date(nb::object self, nb::object market_code, nb::object start_min, nb::object end_min) {
    nb::object min_file = self.attr("_file_map")[market_code];
    nb::object path = self.attr("_get_algo_file_path")(start_min, end_min);
    nb::object min_dates;
    {
        H5Closer h5(h5_open(min_file, "r"));
        min_dates = h5.get()["index"]["date"];
        h5.close();
    }
    RecordArrayView mv = record_view(min_dates, "index dates");
    kernels::ColumnView mc = plain_column(mv, "date");
    if (mv.length == 0)
        return nb::none();  // nothing to compute from
    nb::object first = nb::int_(kernels::to_int64(kernels::read_scalar(mc, 0)));
    if (!nb::bool_(path) || !path_exists(path))
        return first;

    nb::object file;
    try {
        file = h5_open(path, "r");
    } catch (nb::python_error &e) {
        if (is_busy_error(e) || !is_damage_error(e))
            throw;
        quarantine(path, e);
        return first;
    }
    H5Closer h5(file);
    bool has_dataset;
    try {
        has_dataset = h5.get().attr("__contains__")(market_code).ptr() == Py_True;
    } catch (nb::python_error &e) {
        if (is_busy_error(e) || !is_damage_error(e))
            throw;
        h5.close_quietly();  // its root group does not read: the file as a whole is set aside
        quarantine(path, e);
        return first;
    }
    if (!has_dataset)
        return first;
    auto damaged = [&](const std::string &why) {
        warn_user(std::string("算法单缓存数据已损坏，将从分钟线重新计算: ") + nb::cast<std::string>(nb::str(path)) +
                  " [" + nb::cast<std::string>(nb::str(market_code)) + "] " + why);
        return first;  // the update replaces the dataset whole
    };
    nb::object algo_dates;
    try {
        nb::object ds = h5.get()[market_code];
        // Only an extendable 1-D dataset of algo records is a cache this store wrote; anything else
        // under the name (another record type, a fixed size, a group) would be served or extended.
        if (!is_algo_dataset(ds))
            return damaged("not a dataset of algo records");
        // Reads every chunk of the dataset: a damaged one shows here, before anything is served.
        algo_dates = ds[nb::tuple()]["date"];
    } catch (nb::python_error &e) {
        if (is_busy_error(e) || !is_damage_error(e))
            throw;
        return damaged(nb::cast<std::string>(nb::str(e.value())));
    }
    h5.close();
    RecordArrayView av = record_view(algo_dates, "algo dates");
    kernels::ColumnView ac = plain_column(av, "date");
    if (av.length > mv.length)
        return first;
    for (std::size_t i = 0; i < av.length; ++i)
        if (kernels::to_int64(kernels::read_scalar(ac, i)) != kernels::to_int64(kernels::read_scalar(mc, i)))
            return first;
    if (av.length == mv.length)
        return nb::none();
    return nb::int_(kernels::to_int64(kernels::read_scalar(mc, av.length)));
}

void append(nb::object origin, nb::object new_records) {
    const std::size_t n = nb::cast<std::size_t>(nb::borrow<nb::tuple>(origin.attr("shape"))[0]);
    const std::size_t k = nb::len(new_records);
    origin.attr("resize")(n + k, "axis"_a = 0);
    origin[nb::slice(nb::int_(n), nb::none(), nb::none())] = new_records;
}

nb::object update(nb::object self, nb::object instrument, nb::object start_min, nb::object end_min,
                  nb::object update_start_date) {
    const long long start_date = to_long_long(update_start_date, "update_start_date");
    nb::object market_code = instrument.attr("market_code");
    nb::object min_file = self.attr("_file_map").attr("get")(market_code);
    if (min_file.is_none())
        return nb::none();
    G[kUserLog].attr("info")(nb::str(kComputingMsg));
    nb::object records;
    bool whole = false;
    {
        H5Closer h5(h5_open(min_file, "r"));
        records = compute_from_file(self, h5.get(), start_date, start_min, end_min, instrument, whole);
        h5.close();
    }
    if (records.is_none())
        return nb::none();
    nb::object path = self.attr("_get_algo_file_path")(start_min, end_min);
    // Records of every trading date replace whatever the dataset held, even one ending before
    // them (a cache of dates the minute file no longer has), which appending would keep in front.
    const long long replace_from = whole ? std::numeric_limits<long long>::min() : start_date;
    write_algo_file(self, path, market_code, records, replace_from);
    return records;
}

nb::object read_bars(nb::handle path, nb::handle market_code) {
    // A window that never held a bar has no file or no dataset: that is an empty result.
    if (!path_exists(path))
        return empty_bars();
    nb::object cm = G[kH5File](path);
    nb::object h5 = cm.attr("__enter__")();
    nb::object result;
    try {
        if (h5.attr("__contains__")(market_code).ptr() == Py_True)
            result = h5[market_code][nb::tuple()];
        else
            result = empty_bars();
    } catch (nb::python_error &e) {
        nb::object suppress = cm.attr("__exit__")(e.type(), e.value(), nb::getattr(e.value(), "__traceback__"));
        if (!PyObject_IsTrue(suppress.ptr()))
            throw;
        return nb::none();
    }
    cm.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return result;
}

nb::object get_bars(nb::object self, nb::object instrument, nb::object start_min, nb::object end_min) {
    nb::object market_code = instrument.attr("market_code");
    nb::object path = self.attr("_get_algo_file_path")(start_min, end_min);
    nb::object min_file = self.attr("_file_map").attr("get")(market_code);
    if (min_file.is_none() || !path_exists(min_file)) {
        nb::str msg = nb::str(kMissingMinbarMsg).format(market_code);
        PyErr_SetObject(PyExc_RuntimeError, msg.ptr());
        throw nb::python_error();
    }
    try {
        nb::object lock = G[kFileLock](nb::str("{}.lock").format(path));
        lock.attr("acquire")();
        nb::object result;
        try {
            remove_stale_temporaries(path);
            recover_interrupted_write(path);
            nb::object start = self.attr("_get_update_start_date")(market_code, start_min, end_min);
            if (!start.is_none())
                self.attr("_update")(instrument, start_min, end_min, start);
            result = read_bars(path, market_code);
        } catch (...) {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            PyObject *r = PyObject_CallMethod(lock.ptr(), "release", nullptr);
            if (r)
                Py_DECREF(r);
            PyErr_Clear();  // the original error is the one reported
            PyErr_Restore(t, v, tb);
            throw;
        }
        lock.attr("release")();
        return result;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_OSError) || e.matches(G[kTimeout])) {
            std::string msg = std::string(kBusyMsg) + nb::cast<std::string>(nb::str(path));
            nb::raise_from(e, PyExc_OSError, "%s", msg.c_str());
        }
        throw;
    }
}

}  // namespace

void define_algo_store(nb::module_ m) {
    nb::object np = G[kNp];
    nb::object algo = G[kAlgo];
    nb::dict dtypes;
    dtypes["date"] = "<u4";
    dtypes[algo.attr("VWAP").attr("value")] = "<f8";
    dtypes[algo.attr("TWAP").attr("value")] = "<f8";
    dtypes["volume"] = "<u8";
    nb::list pairs;
    for (auto [k, v] : dtypes)
        pairs.append(nb::make_tuple(k, v));
    g_algo_dtype = np.attr("dtype")(pairs).release().ptr();

    nb::object cls =
        PyClass(m, "AlgoStore")
            .attr("DTYPES", dtypes)
            .def("__init__", &init, arg("self"), arg("path"), arg("min_path"))
            .def("_get_algo_file_path", &get_algo_file_path, arg("self"), arg("start_min"), arg("end_min"))
            .def("_get_update_start_date", &get_update_start_date, arg("self"), arg("market_code"),
                 arg("start_min"), arg("end_min"))
            .def_static("_append", &append, arg("origin"), arg("new"))
            .def("_update", &update, arg("self"), arg("instrument"), arg("start_min"), arg("end_min"),
                 arg("update_start_date"))
            .def("_calc_vwap", &calc_vwap, arg("self"), arg("df"), arg("contract_multiplier"))
            .def("_compute_bars", &compute_bars, arg("self"), arg("index"), arg("data"), arg("first_row"),
                 arg("update_start_date"), arg("start_min"), arg("end_min"), arg("instrument"))
            .def_memo("get_bars", nb::int_(1024), &get_bars, arg("self"), arg("instrument"), arg("start_min"),
                      arg("end_min"))
            .finish();
    nb::object method = cls.attr("__dict__")["_calc_vwap"];
    g_calc_vwap = nb::object(method.attr("__func__")).release().ptr();
}

}  // namespace norvane::quarrybin

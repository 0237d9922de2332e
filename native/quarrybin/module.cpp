// quarrybin: the market-data stores of the engine's quant-data module.
#include "common/module_init.hpp"
#include "common/names.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

Globals G;

namespace {

void body(nb::module_ m) {
    G.bind(m);
    // The imports, in the order the engine expects them bound.
    m.attr("os") = import_module("os");
    m.attr("glob") = import_module("glob");
    m.attr("datetime") = import_module("datetime");
    for (const char *name : {"Container", "Optional", "Tuple", "List"})
        m.attr(name) = import_from("typing", name);
    m.attr("Timeout") = import_from("filelock", "Timeout");
    m.attr("FileLock") = import_from("filelock", "FileLock");
    m.attr("h5py") = import_module("h5py");
    m.attr("np") = import_module("numpy");
    m.attr("pd") = import_module("pandas");
    import_module("norvane.tessel.zered");
    m.attr("varorize") = import_module("norvane.tessel").attr("zered");
    m.attr("h5_file") = import_from("norvane.tessel.data.base_data_source.storages", "h5_file");
    m.attr("FuturesTradingParameters") =
        import_from("norvane.tessel.data.base_data_source.storages", "FuturesTradingParameters");
    m.attr("system_log") = import_from("norvane.tessel.utils.logger", "system_log");
    m.attr("lru_cache") = import_from("norvane.tessel.utils.functools", "lru_cache");
    // `from . import utils`: the sibling module of this module's package.
    nb::str package = nb::borrow<nb::str>(m.attr("__name__")).attr("rpartition")(".")[0];
    m.attr("utils") = import_from(nb::borrow<nb::str>(package).c_str(), "utils");
    m.attr("_") = import_from("norvane.tessel.utils.i18n", "gettext");
    m.attr("ALGO") = import_from("norvane.tessel.const", "ALGO");
    m.attr("COMMISSION_TYPE") = import_from("norvane.tessel.const", "COMMISSION_TYPE");
    m.attr("user_system_log") = import_from("norvane.tessel.utils.logger", "user_system_log");
    m.attr("safe_div") = import_from("norvane.tessel.utils", "safe_div");
    m.attr("AutomaticUpdateBundle") = import_from("norvane.tessel.data.bundle", "AutomaticUpdateBundle");
    m.attr("Environment") = import_from("norvane.tessel.environment", "Environment");
    m.attr("Instrument") = import_from("norvane.tessel.model.instrument", "Instrument");

    define_numbering(m);
    define_minute_bars(m);
    define_h5_ticks(m);
    define_orvdata_ticks(m);
    define_algo_store(m);
    define_open_auction(m);
    define_futures_parameters(m);
}

}  // namespace
}  // namespace norvane::quarrybin

NORVANE_MODULE(quarrybin, norvane::quarrybin::body)

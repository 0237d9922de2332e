// OpenAuctionVolumeStore: opening-auction volumes and the data service's auction records.
#include "common/args.hpp"
#include "common/pyclass.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

void define_open_auction(nb::module_ m) {
    PyClass(m, "OpenAuctionVolumeStore")
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
        .finish();
}

}  // namespace norvane::quarrybin

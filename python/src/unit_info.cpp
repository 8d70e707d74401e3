// SPDX-License-Identifier: MIT
// orwin.unit_info: who a unit is.
#include "bindings.hpp"
#include "errors.hpp"

#include "Orwin.h"

#include <pybind11/stl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace orwin_py {

namespace {

[[noreturn]] void fail(const std::string &what)
{
    const char *text = Orwin_get_error_text();
    int code = Orwin_get_error();
    throw failure(code == Error_Receiver_Timeout ? failure_kind::timeout : failure_kind::error, code,
                  what + ": " + (text ? text : "unknown error"));
}

std::string take(char *text, const char *what)
{
    if (!text)
        fail(what);
    std::unique_ptr<char, decltype(&free)> owned(text, &free);
    return owned.get();
}

struct identity {
    std::string family, product, manufacturer, description, options, hwa, serial;
    int links = 0;
};

identity query(const std::string &address, int timeout_ms)
{
    std::string addr = address;
    Orwin link = Orwin_open_flagged(&addr[0], 0, timeout_ms);
    if (!link)
        fail("cannot open " + address);
    std::unique_ptr<std::remove_pointer_t<Orwin>, void (*)(Orwin)> closer(link, [](Orwin l) {
        Orwin_abort(l); // leaves the unit's links as they were
        Orwin_close(l);
    });
    Orwin_set_rx_timeout(link, timeout_ms);
    identity id;
    id.family = Orwin_device_type(link) == SYSTEM_TYPE_Vex ? "Vex" : "Tor";
    id.product = take(Orwin_get_product_string(link), "product");
    id.manufacturer = take(Orwin_get_manufacturer_string(link), "manufacturer");
    id.description = take(Orwin_get_device_description(link), "description");
    id.options = take(Orwin_get_options_string(link), "options");
    unsigned char hwa[6] = {};
    if (Orwin_get_HWA(link, hwa) < 0)
        fail("hardware address");
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", hwa[0], hwa[1], hwa[2], hwa[3], hwa[4],
                  hwa[5]);
    id.hwa = text;
    id.serial = take(Orwin_HWA_to_serial_number_string(hwa), "serial number");
    id.links = Orwin_get_number_of_links(link);
    if (id.links < 0)
        fail("number of links");
    return id;
}

} // namespace

void bind_unit_info(py::module_ &m)
{
    m.def(
        "unit_info",
        [](const std::string &address, double timeout) {
            if (!(timeout > 0) || !std::isfinite(timeout) || timeout > 3600)
                throw py::value_error("timeout must be a positive number of seconds (at most an hour)");
            identity id;
            {
                py::gil_scoped_release nogil;
                id = query(address, static_cast<int>(std::ceil(timeout * 1000)));
            }
            py::dict d;
            d["family"] = id.family;
            d["product"] = id.product;
            d["manufacturer"] = id.manufacturer;
            d["description"] = id.description;
            d["serial_number"] = id.serial;
            d["hardware_address"] = id.hwa;
            d["links"] = id.links;
            d["options"] = id.options;
            return d;
        },
        py::arg("address"), py::arg("timeout") = 5.0,
        R"(Who the unit at ``address`` is: a dict of family ("Vex" or "Tor"), product,
manufacturer, description, serial_number, hardware_address, links (their
number) and options. The unit's links are left as they were.)");
}

} // namespace orwin_py

// SPDX-License-Identifier: MIT
// Capture configuration loaders against arbitrary text: the first byte picks
// the native line format or JSON. Only the documented exceptions may leave
// a loader, and the settings keep to their tables' bits.
#include "Orwin_Capture.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    orw::trc::config c;
    try {
        std::istringstream in(text);
        if (data[0] & 1)
            c.load_json(in);
        else
            c.load(in);
    } catch (const nlohmann::json::exception &) {
    } catch (const orw::error &e) {
        if (e.get() != orw::connection::Error_Parameter_RangeIncorrect)
            std::abort();
    }
    for (int n = 0; n < orw::trc::config::ports; ++n) {
        if (c.timetags[n].setting >> orw::trc::options::tt::nooptions ||
            c.errors[n].setting >> orw::trc::options::er::nooptions ||
            c.sources[n].setting >> orw::trc::options::ew_ports::nooptions ||
            c.captures[n].setting >> orw::trc::options::ew_capture::nooptions)
            std::abort();
    }
    return 0;
}

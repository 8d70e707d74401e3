// SPDX-License-Identifier: MIT
// Single packets sent as a unit reports them, whole or in announced pieces.
#include "frames.hpp"
#include "orwin_unitsim.hpp"

#include <stdexcept>
#include <string>

namespace orw::unitsim {

void simulator::emit_packet(int link, const std::vector<uint8_t> &data, bool eep,
                            const std::vector<size_t> &pieces)
{
    if (link < 0 || link > 0x3F)
        throw std::invalid_argument("unitsim: link " + std::to_string(link) + " cannot be announced");
    std::vector<uint8_t> out;
    size_t at = 0;
    for (size_t piece : pieces) {
        if (piece == 0 || piece > data.size() - at)
            throw std::invalid_argument("unitsim: packet pieces exceed the packet");
        append_link_select(out, link);
        append_partial(out, data.data() + at, piece);
        at += piece;
    }
    append_link_select(out, link);
    append_packet(out, data.data() + at, data.size() - at, eep);
    emit(std::move(out));
}

} // namespace orw::unitsim

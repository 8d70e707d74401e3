// SPDX-License-Identifier: MIT
// pcap_save_data: one record, header then body, to a file or a pipe.
#include "Orwin_Pcap.hpp"

namespace pcap {

bool pcap_save_data(FILE *f, ORW_PIPE_DATA *pipe, const pcap_pkthdr *h, const uint8_t *data)
{
    if (!h || (!f && !pipe))
        return true;
    // The stored form keeps 32-bit seconds and nanoseconds.
    pcap_sf_pkthdr sf;
    sf.tv_sec = static_cast<int32_t>(h->tv_sec);
    sf.tv_usec = static_cast<int32_t>(h->tv_nsec);
    sf.caplen = h->caplen;
    sf.len = h->len;
    if (f)
        return std::fwrite(&sf, sizeof sf, 1, f) == 1 &&
               (h->caplen == 0 || std::fwrite(data, h->caplen, 1, f) == 1);
    return orw_write_pipe(&sf, sizeof sf, pipe) == 1 &&
           (h->caplen == 0 || orw_write_pipe(data, h->caplen, pipe) == 1);
}

} // namespace pcap

// SPDX-License-Identifier: MIT
// libpcap side of the pcap reader of the tests.
#include "pcap_reader.hpp"

#include <pcap/pcap.h>

namespace test {

pcap_contents read_pcap(const std::string &path)
{
    pcap_contents out;
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t *p = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, err);
    if (!p) {
        out.error = err;
        return out;
    }
    out.linktype = pcap_datalink(p);
    out.snaplen = pcap_snapshot(p);
    for (;;) {
        pcap_pkthdr *h = nullptr;
        const u_char *data = nullptr;
        int rc = pcap_next_ex(p, &h, &data);
        if (rc == 1) {
            pcap_record r;
            r.sec = h->ts.tv_sec;
            r.nsec = h->ts.tv_usec; // nanoseconds at this precision
            r.body.assign(data, data + h->caplen);
            if (h->caplen != h->len)
                out.error = "record cut short";
            out.records.push_back(std::move(r));
        } else {
            if (rc == PCAP_ERROR)
                out.error = pcap_geterr(p);
            break;
        }
    }
    pcap_close(p);
    return out;
}

} // namespace test

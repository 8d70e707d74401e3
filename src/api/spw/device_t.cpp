// SPDX-License-Identifier: MIT
// device_t: a remote node's addressing (logical or path), its checks, and
// the write path through its connection.
#include "Orwin.hpp"

namespace orw {
namespace spacewire {

namespace {

constexpr uint8_t first_logical_address = 0x20;

} // namespace

void device_t::check_logical() const
{
    if (ldest < first_logical_address) {
        ORW_SPW_TRACE(1, this, "logical destination %d is not correct", ldest);
        throw address_error("dest address is invalid", ldest);
    }
    if (lsrc < first_logical_address) {
        ORW_SPW_TRACE(1, this, "logical source %d is not correct", lsrc);
        throw address_error("src address is invalid", lsrc);
    }
}

device_t::device_t(const std::string &name, const std::string &type, connection_t *ifc_, int link,
                   uint8_t dest_, uint8_t src)
    : dname(name), dtype(type), ifc(ifc_), linkno(link), ldest(dest_), lsrc(src)
{
    ORW_SPW_TRACE(2, this, "created device link %d logical addresses %02x:%02x", link, dest_, src);
    check_logical();
}

device_t::device_t(const std::string &name, const std::string &type, connection_t *ifc_, int link,
                   const uint8_t *path, size_t pathsz, const uint8_t *rpath, size_t rpathsz, uint8_t dest_,
                   uint8_t src)
    : dname(name), dtype(type), ifc(ifc_), linkno(link), ldest(dest_), lsrc(src)
{
    ORW_SPW_TRACE(2, this, "creating device link %d packet addressing addrsz %zu %02x:%02x", link, pathsz,
                  dest_, src);
    check_logical();
    ORW_SPW_TRACE(8, this, "checking device path");
    for (size_t i = 0; i < pathsz; ++i) {
        if (path[i] >= first_logical_address) {
            ORW_SPW_TRACE(1, this, "destination path addres %d is not correct", path[i]);
            throw address_error("path address byte is invalid ", path[i]);
        }
    }
    ORW_SPW_TRACE(8, this, "checking return device path");
    for (size_t i = 0; i < rpathsz; ++i) {
        if (rpath[i] >= first_logical_address) {
            ORW_SPW_TRACE(1, this, "return path addres %d is not correct", rpath[i]);
            throw address_error("path address byte is invalid ", rpath[i]);
        }
    }
    // Leading zeros of a reply address are padding to the target, which
    // would drop a real first path byte 0.
    if (rpathsz && rpath[0] == 0) {
        ORW_SPW_TRACE(1, this, "return path begins with 0");
        throw address_error("return path begins with 0", 0);
    }
    // The reply address field of an RMAP command holds at most three words;
    // a longer path would spill into the instruction's other bits.
    if (rpathsz > max_return_path) {
        ORW_SPW_TRACE(1, this, "return path of %zu bytes is too long", rpathsz);
        throw address_error("return path is too long", static_cast<int>(rpathsz));
    }
    ORW_SPW_TRACE(8, this, "addresses appear ok");
    pdest.assign(path, path + pathsz);
    if (rpathsz == 0)
        return;
    size_t words = rpathsz / 4 + (rpathsz % 4 ? 1 : 0);
    ORW_SPW_TRACE(8, this, "Have return path size %zu", rpathsz);
    ORW_SPW_TRACE(8, this, "Number of rounded 4 byte address fields %zu", words);
    psrc.assign(4 * words, 0);
    size_t nulls = 4 * words - rpathsz;
    std::copy(rpath, rpath + rpathsz, psrc.begin() + static_cast<std::ptrdiff_t>(nulls));
    ORW_SPW_TRACE(8, this, "Number of nulls in buffer %zu", nulls);
    ORW_SPW_TRACE(8, this, "First byte of return path %02x", rpath[0]);
    psrcsz = static_cast<uint8_t>(words);
}

void device_t::dest(const uint8_t *&path, size_t &sz, uint8_t &ldest_) const
{
    path = pdest.empty() ? nullptr : pdest.data();
    sz = pdest.size();
    ldest_ = ldest;
}

void device_t::reply(const uint8_t *&path, uint8_t &words, uint8_t &lsrc_) const
{
    path = psrc.empty() ? nullptr : psrc.data();
    words = psrcsz;
    lsrc_ = lsrc;
}

void device_t::write(const void *data, size_t sz, uint32_t flags)
{
    ifc->writeport(linkno, data, sz, flags);
}

void device_t::flush()
{
    ifc->flush();
}

void device_t::start_server()
{
    ifc->start_server();
}

void device_t::raw_send(uint8_t pid, const unsigned char *data, size_t sz)
{
    raw.send(this, pid, data, sz);
}

} // namespace spacewire
} // namespace orw

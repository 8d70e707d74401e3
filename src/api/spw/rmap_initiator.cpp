// SPDX-License-Identifier: MIT
// RMAP initiator: command headers, the send paths under the connection's
// write lock, and waiting.
#include "Orwin.hpp"
#include "read_token.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orw::spacewire::rmap {

protocol rmap_protocol;

namespace {

// Enters RMAP as protocol 1 of the factory table at load.
struct registrar {
    registrar() { protocol_factory::register_protocol(protocol_id, &rmap_protocol); }
} registered;

constexpr size_t fd_piece = 16384;

void refuse_size(device_t *dev, size_t sz)
{
    if (sz > max_data_length)
        throw orw::error(dev->connection()->addr, Error_Request_Too_Large,
                         "RMAP data length does not fit 24 bits");
}

// Everything `fd` yields up to its end, refused when it exceeds the 24-bit
// data length.
std::vector<uint8_t> read_to_end(device_t *dev, int fd)
{
    std::vector<uint8_t> out;
    uint8_t piece[fd_piece];
    for (;;) {
        ssize_t n = ::read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw orw::error(dev->connection()->addr, Error_IO_Error, "RMAP data descriptor cannot be read",
                             errno);
        if (n == 0)
            return out;
        out.insert(out.end(), piece, piece + n);
        refuse_size(dev, out.size());
    }
}

// Runs `send` with the write lock held; on any failure the transaction is
// cancelled (its TID freed, no completion) before the exception goes on,
// unless the failure lost the connection and so already ended it.
template <class Send> void locked_send(device_t *dev, transaction_response *tri, Send send)
{
    try {
        writelock guard(dev);
        send();
    } catch (...) {
        if (tri) {
            if (tri->tx.load())
                tri->cancel();
            else if (tri->sync)
                tri->sync->wait(); // ended meanwhile (connection lost): its signal is no later wait's
        }
        throw;
    }
}

} // namespace

protocol_instance *protocol::new_instance()
{
    return new handler();
}

void protocol::connection(connection_t *ifc)
{
    ORW_SPW_TRACE(2, ifc, "constructor ");
}

void protocol::unregister_connection(connection_t *ifc)
{
    ORW_SPW_TRACE(2, ifc, "removing connection %p from active list", static_cast<void *>(ifc));
}

uint16_t protocol::msg_header(net_header &hdr, device_t *dev, uint8_t key, uint8_t instr, uint8_t ewa,
                              uint32_t addr, size_t sz, transaction_response *tri)
{
    ORW_SPW_TRACE(8, dev, "preparing io operation size %zu on %02x:%04x flags %02x response %p", sz, ewa,
                  addr, instr, static_cast<void *>(tri));
    const uint8_t *path = nullptr;
    size_t pathsz = 0;
    uint8_t ldest = 0;
    dev->dest(path, pathsz, ldest);
    const uint8_t *rpath = nullptr;
    uint8_t words = 0;
    uint8_t lsrc = 0;
    dev->reply(rpath, words, lsrc);
    // Refused before a TID is taken, so nothing is left to cancel.
    if (pathsz + 16 + 4u * words > net_header::capacity)
        throw address_error("path and reply address do not fit the RMAP header",
                            static_cast<int>(pathsz + 4u * words));

    if (tri || (instr & instr_reply))
        dev->start_server();
    instr = static_cast<uint8_t>(instr | (words & instr_pa_mask));
    uint16_t tid = 0;
    if (tri) {
        ORW_SPW_TRACE(8, dev, "transaction is %p", static_cast<void *>(tri));
        tri->start();
        tri->owner = dev->connection();
        // A read-modify-write sends data and mask; its reply carries the data only.
        const rmap_command kind = classify(instr);
        tri->expect(static_cast<uint8_t>(instr & ~instr_command),
                    kind == rmap_write ? 0 : static_cast<uint32_t>(kind == rmap_read ? sz : sz / 2));
        tid = dev->connection()->rmap_scope(dev->link())->transaction(tri);
        ORW_SPW_TRACE(8, dev, "transaction id is %d", tid);
    }
    hdr.set_header(path, pathsz);
    ORW_SPW_TRACE(8, dev, "adding logical address of %02x", ldest);
    hdr.write(ldest);
    hdr.write(protocol_id);
    ORW_SPW_TRACE(8, dev, "setting flags to %02x", instr);
    hdr.write(instr);
    hdr.write(key);
    for (size_t i = 0; i < 4u * words; ++i)
        hdr.write(rpath[i]);
    hdr.write(lsrc);
    hdr.write(static_cast<uint8_t>(tid >> 8));
    hdr.write(static_cast<uint8_t>(tid));
    hdr.write(ewa);
    for (int shift = 24; shift >= 0; shift -= 8)
        hdr.write(static_cast<uint8_t>(addr >> shift));
    for (int shift = 16; shift >= 0; shift -= 8)
        hdr.write(static_cast<uint8_t>(sz >> shift));
    hdr.write_nocrc(hdr.get());
    return tid;
}

uint16_t protocol::write_header(net_header &hdr, device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa,
                                uint32_t addr, size_t sz, transaction_response *tri)
{
    ORW_SPW_TRACE(2, dev, "writing %zu bytes to %02x:%04x flags %02x response %p", sz, ewa, addr, flags,
                  static_cast<void *>(tri));
    uint8_t instr = static_cast<uint8_t>(instr_write_command | (flags & (instr_verify | instr_increment)));
    if (tri)
        instr |= instr_reply;
    ORW_SPW_TRACE(8, dev, "write flags are %02x", instr);
    return msg_header(hdr, dev, key, instr, ewa, addr, sz, tri);
}

void protocol::wait(transaction_response *tri)
{
    if (!tri)
        return;
    ORW_SPW_TRACE(4, tri, "waiting for response %p", static_cast<void *>(tri));
    if (tri->timer())
        timer.start();
    tri->wait();
}

void protocol::read(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, size_t sz,
                    transaction_response *tri)
{
    read_token::scope reading(dev->connection());
    send_read(dev, key, flags, ewa, addr, sz, tri);
    reading.arm();
    wait(tri);
}

void protocol::send_read(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, size_t sz,
                         transaction_response *tri)
{
    ORW_SPW_TRACE(2, dev, "reading %zu bytes from %02x:%04x flags %02x response %p", sz, ewa, addr, flags,
                  static_cast<void *>(tri));
    if (!tri) {
        ORW_SPW_TRACE(8, dev, "no response handler so we can't process read");
        throw new transactionrequired();
    }
    refuse_size(dev, sz);
    net_header hdr;
    msg_header(hdr, dev, key, (flags & instr_increment) ? 0x4C : instr_read_command, ewa, addr, sz, tri);
    locked_send(dev, tri, [&] {
        dev->write(hdr.data, hdr.sz, connection::EOP);
        read_token::sends_of(*dev->connection()).flush(true);
    });
}

void protocol::write(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, const uint8_t *d,
                     size_t sz, transaction_response *tri)
{
    read_token::scope reading(dev->connection());
    send_write(dev, key, flags, ewa, addr, d, sz, tri);
    reading.arm();
    wait(tri);
}

void protocol::send_write(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr,
                          const uint8_t *d, size_t sz, transaction_response *tri)
{
    ORW_SPW_TRACE(2, dev, "write sending %zu bytes of of data to %02x:%08x", sz, ewa, addr);
    refuse_size(dev, sz);
    net_header hdr;
    write_header(hdr, dev, key, flags, ewa, addr, sz, tri);
    locked_send(dev, tri, [&] {
        dev->write(hdr.data, hdr.sz, connection::INCOMPLETE);
        if (sz)
            dev->write(d, sz, connection::INCOMPLETE);
        uint8_t c = crc_of(d, sz);
        dev->write(&c, 1, connection::EOP);
        read_token::sends_of(*dev->connection()).flush(tri != nullptr);
    });
}

void protocol::write_noreply(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr,
                             const uint8_t *d, size_t sz)
{
    write(dev, key, flags, ewa, addr, d, sz, nullptr);
}

void protocol::write_file(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr,
                          const std::string &file, transaction_response *tri)
{
    ORW_SPW_TRACE(2, dev, "write sending data file %s to %02x:%08x", file.c_str(), ewa, addr);
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ORW_SPW_TRACE(1, dev, "error opening file %s error %d", file.c_str(), errno);
        throw new nosuchfile(file);
    }
    try {
        write_fd(dev, key, flags, ewa, addr, fd, tri);
    } catch (nosuchfile *e) {
        ::close(fd);
        e->f = file;
        throw;
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

void protocol::write_fd(device_t *dev, uint8_t key, uint8_t flags, uint8_t ewa, uint32_t addr, int fd,
                        transaction_response *tri)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0 || st.st_size < 0 || S_ISDIR(st.st_mode)) {
        ORW_SPW_TRACE(1, dev, "Could not stat fd %d error %d", fd, errno);
        throw new nosuchfile();
    }
    // A pipe, FIFO, socket or /proc file announces no size: it is read to
    // its end before the header, which carries the length, is built.
    if (!S_ISREG(st.st_mode) || st.st_size == 0) {
        std::vector<uint8_t> whole = read_to_end(dev, fd);
        write(dev, key, flags, ewa, addr, whole.data(), whole.size(), tri);
        return;
    }
    read_token::scope reading(dev->connection());
    size_t sz = static_cast<size_t>(st.st_size);
    ORW_SPW_TRACE(2, dev, "write sending %zu bytes of of data to %02x:%08x", sz, ewa, addr);
    refuse_size(dev, sz);
    net_header hdr;
    write_header(hdr, dev, key, flags, ewa, addr, sz, tri);
    locked_send(dev, tri, [&] {
        dev->write(hdr.data, hdr.sz, connection::INCOMPLETE);
        crc_calc c;
        uint8_t piece[fd_piece];
        for (size_t sent = 0; sent < sz;) {
            size_t want = sz - sent < fd_piece ? sz - sent : fd_piece;
            ssize_t n = ::read(fd, piece, want);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                int e = n < 0 ? errno : 0;
                // The receiver must not take a short packet for a whole one.
                dev->write(nullptr, 0, connection::EEP);
                dev->flush();
                throw orw::error(dev->connection()->addr, Error_IO_Error,
                                 "RMAP data descriptor ended before its size was sent", e);
            }
            c.calculate(piece, static_cast<size_t>(n));
            dev->write(piece, static_cast<size_t>(n), connection::INCOMPLETE);
            sent += static_cast<size_t>(n);
        }
        uint8_t crc = c.get();
        dev->write(&crc, 1, connection::EOP);
        dev->flush();
    });
    reading.arm();
    wait(tri);
}

void protocol::readmodifywrite(device_t *dev, uint8_t key, uint8_t ewa, uint32_t addr, const uint8_t *d,
                               const uint8_t *mask, size_t sz, transaction_response *tri)
{
    read_token::scope reading(dev->connection());
    send_rmw(dev, key, ewa, addr, d, mask, sz, tri);
    reading.arm();
    wait(tri);
}

void protocol::send_rmw(device_t *dev, uint8_t key, uint8_t ewa, uint32_t addr, const uint8_t *d,
                        const uint8_t *mask, size_t sz, transaction_response *tri)
{
    ORW_SPW_TRACE(2, dev, "writing %zu bytes to %02x:%04x response %p", sz, ewa, addr,
                  static_cast<void *>(tri));
    // Data lengths 0, 2, 4, 6 and 8 are all a target takes: 4 data bytes and
    // their mask at most.
    if (sz > max_rmw_data) {
        ORW_SPW_TRACE(8, dev, "writing too much data");
        throw new toomuchrmwdata();
    }
    if (!tri) {
        ORW_SPW_TRACE(8, dev, "read modify write has no response context");
        throw new transactionrequired();
    }
    net_header hdr;
    msg_header(hdr, dev, key, instr_rmw_command, ewa, addr, 2 * sz, tri);
    locked_send(dev, tri, [&] {
        dev->write(hdr.data, hdr.sz, connection::INCOMPLETE);
        send_maskdata(dev, d, mask, sz);
    });
}

void protocol::send_maskdata(device_t *dev, const uint8_t *d, const uint8_t *mask, size_t sz)
{
    crc_calc c;
    c.calculate(d, sz);
    c.calculate(mask, sz);
    if (sz) {
        dev->write(d, sz, connection::INCOMPLETE);
        dev->write(mask, sz, connection::INCOMPLETE);
    }
    uint8_t crc = c.get();
    dev->write(&crc, 1, connection::EOP);
    dev->flush();
}

} // namespace orw::spacewire::rmap

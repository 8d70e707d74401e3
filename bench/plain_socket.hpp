// SPDX-License-Identifier: MIT
// The baselines' side of a loopback benchmark: a plain TCP client of the
// simulator that receives a known number of bytes with recv().
#pragma once

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace bench {

/** A socket connected to 127.0.0.1:`port`, or -1. */
inline int connect_plain(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/**
 * recv() into `buffer` until `total` bytes have arrived, handing each piece
 * to `sink(data, size)`. False when the connection failed first.
 */
template <class Sink> bool recv_bytes(int fd, std::vector<unsigned char> &buffer, size_t total, Sink sink)
{
    size_t got = 0;
    while (got < total) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            return false;
        sink(buffer.data(), static_cast<size_t>(n));
        got += static_cast<size_t>(n);
    }
    return true;
}

} // namespace bench

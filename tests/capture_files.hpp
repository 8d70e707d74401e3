// SPDX-License-Identifier: MIT
// Helpers shared by the capture tests: a scratch directory, and replaying a
// native recording file packet by packet with the link each packet came on.
#ifndef ORWIN_TESTS_CAPTURE_FILES_HPP
#define ORWIN_TESTS_CAPTURE_FILES_HPP

#include "Orwin.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace test {

/** A fresh directory under /tmp, removed with everything in it. */
struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char name[] = "/tmp/orwin_capture_XXXXXX";
        if (mkdtemp(name))
            path = name;
    }
    ~scratch_dir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string &leaf) const { return path + "/" + leaf; }
    /** File names (not paths) in `sub` ("" = the directory itself), sorted. */
    std::vector<std::string> files(const std::string &sub = "") const
    {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto &e : std::filesystem::directory_iterator(sub.empty() ? path : path + "/" + sub, ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

inline void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

/** A recording's 16-byte header for a Vex-family unit. */
inline std::vector<uint8_t> recording_header()
{
    std::vector<uint8_t> h = {0xC0, 0xCE, 0x00, 0x02};
    h.resize(16, 0);
    h[11] = 100; // some seconds after the epoch
    return h;
}

/** Appends "data arrived on `link`" and an EOP packet of up to 60 bytes. */
inline void append_small_packet(std::vector<uint8_t> &out, int link, const std::vector<uint8_t> &data)
{
    out.insert(out.end(),
               {0xC0, static_cast<uint8_t>(0x40 + link), static_cast<uint8_t>(0x40 + data.size())});
    out.insert(out.end(), data.begin(), data.end());
}

/**
 * Replays `path` and calls `packet(link, data, size, eep)` for each whole
 * packet, joining the pieces of packets whose frames interleave with other
 * links'. Packets still open at the end of the file are counted in `*cut`.
 * Returns the read's final code: 0 at the normal end of the file.
 */
inline int replay(const std::string &path,
                  const std::function<void(int, const uint8_t *, size_t, bool)> &packet,
                  size_t *cut = nullptr)
{
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    Orwin link = Orwin_open_file(name.data());
    if (!link)
        return Orwin_get_error();
    std::vector<uint8_t> buffer(1 << 20);
    std::vector<std::vector<uint8_t>> open(64);
    int rx = 1;
    int result = 0;
    for (;;) {
        uint32_t type = 0;
        ssize_t n = Orwin_read_packet_full(link, buffer.data(), buffer.size(), &type, RETURN_EXTENSION_DATA);
        if (n < 0) {
            result = n == Error_Receiver_Shutdown ? 0 : static_cast<int>(n);
            break;
        }
        std::vector<uint8_t> &held = open[static_cast<size_t>(rx)];
        if (type == Orwin_EXTN && n >= 1 && buffer[0] >= 0x40 && buffer[0] <= 0x7F) {
            rx = buffer[0] - 0x40;
        } else if (type == Orwin_PART_EOP_EEP) {
            held.insert(held.end(), buffer.begin(), buffer.begin() + n);
        } else if ((type == Orwin_EOP || type == Orwin_EEP) && held.empty()) {
            packet(rx, buffer.data(), static_cast<size_t>(n), type == Orwin_EEP);
        } else if (type == Orwin_EOP || type == Orwin_EEP) {
            held.insert(held.end(), buffer.begin(), buffer.begin() + n);
            packet(rx, held.data(), held.size(), type == Orwin_EEP);
            held.clear();
        }
    }
    if (cut)
        for (const auto &held : open)
            *cut += held.empty() ? 0 : 1;
    Orwin_close(link);
    return result;
}

} // namespace test

#endif // ORWIN_TESTS_CAPTURE_FILES_HPP

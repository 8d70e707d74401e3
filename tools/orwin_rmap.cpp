// orwin-rmap: read, write or read-modify-write a remote node's memory over
// RMAP through a unit.
//
//   orwin-rmap [options] HOST[:PORT] read ADDRESS SIZE
//   orwin-rmap [options] HOST[:PORT] write ADDRESS HEX|@FILE
//   orwin-rmap [options] HOST[:PORT] rmw ADDRESS DATA-HEX MASK-HEX
#include "Orwin.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace rmap = orw::spacewire::rmap;

namespace {

const char usage[] = "usage: orwin-rmap [options] HOST[:PORT] read ADDRESS SIZE\n"
                     "       orwin-rmap [options] HOST[:PORT] write ADDRESS HEX|@FILE\n"
                     "       orwin-rmap [options] HOST[:PORT] rmw ADDRESS DATA-HEX MASK-HEX\n"
                     "  --link N          link of the unit the node is reached by (default 1)\n"
                     "  --dest LA         node's logical address (default 0xFE)\n"
                     "  --src LA          our logical address, where replies go (default 0x67)\n"
                     "  --path B,B,...    path bytes before the logical address (0..31 each)\n"
                     "  --return-path B,B,...  path the reply takes back (0..31 each, at most 12)\n"
                     "  --key K           RMAP key (default 0)\n"
                     "  --ext E           extended address (default 0)\n"
                     "  --no-increment    keep the address fixed instead of incrementing it\n"
                     "  --verify          writes: verify data before writing\n"
                     "  --no-reply        writes: ask for no reply\n"
                     "  --timeout MS      wait at most MS milliseconds for the reply (default 1000;\n"
                     "                    0 waits for ever)\n"
                     "  --speed MBITS     link speed to set (default 100)\n"
                     "  --json            print the outcome as JSON\n"
                     "  --help            this text\n"
                     "  --version         the tool's and the library's versions\n"
                     "Numbers may be decimal or 0x-prefixed hex; HEX data is pairs of hex digits\n"
                     "(spaces and colons allowed). Exit status: 0 done, 1 failure, 2 bad arguments.\n";

struct bad_arguments : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct options {
    int link = 1;
    uint8_t dest = 0xFE, src = 0x67, key = 0, ext = 0;
    std::vector<uint8_t> path, return_path;
    bool increment = true, verify = false, reply = true, json = false;
    long timeout_ms = 1000;
    double speed = 100.0;
    std::string host, op;
    uint32_t address = 0;
    size_t size = 0;
    std::vector<uint8_t> data, mask;
    std::string file;
};

unsigned long number(const std::string &text, unsigned long high, const char *what)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0' || v > high)
        throw bad_arguments(std::string("bad ") + what + " '" + text + "'");
    return v;
}

std::vector<uint8_t> byte_list(const std::string &text, unsigned long high, const char *what)
{
    std::vector<uint8_t> out;
    size_t from = 0;
    while (from <= text.size()) {
        size_t comma = text.find(',', from);
        std::string item = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        out.push_back(static_cast<uint8_t>(number(item, high, what)));
        if (comma == std::string::npos)
            break;
        from = comma + 1;
    }
    return out;
}

std::vector<uint8_t> hex_bytes(const std::string &text, const char *what)
{
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':')
            continue;
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0)
            throw bad_arguments(std::string("bad ") + what + ": '" + text + "' is not hex");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        throw bad_arguments(std::string("bad ") + what + ": odd number of hex digits");
    return out;
}

options parse(int argc, char **argv)
{
    options o;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw bad_arguments(a + " needs a value");
            return argv[++i];
        };
        if (a == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("orwin-rmap " ORWIN_TOOL_VERSION " (library %s)\n", Orwin_get_version());
            std::exit(0);
        } else if (a == "--link") {
            o.link = static_cast<int>(number(value(), 31, "link"));
        } else if (a == "--dest") {
            o.dest = static_cast<uint8_t>(number(value(), 255, "logical address"));
        } else if (a == "--src") {
            o.src = static_cast<uint8_t>(number(value(), 255, "logical address"));
        } else if (a == "--path") {
            o.path = byte_list(value(), 31, "path byte");
        } else if (a == "--return-path") {
            o.return_path = byte_list(value(), 31, "return path byte");
        } else if (a == "--key") {
            o.key = static_cast<uint8_t>(number(value(), 255, "key"));
        } else if (a == "--ext") {
            o.ext = static_cast<uint8_t>(number(value(), 255, "extended address"));
        } else if (a == "--no-increment") {
            o.increment = false;
        } else if (a == "--verify") {
            o.verify = true;
        } else if (a == "--no-reply") {
            o.reply = false;
        } else if (a == "--timeout") {
            o.timeout_ms = static_cast<long>(number(value(), 3600000, "time-out"));
        } else if (a == "--speed") {
            o.speed = static_cast<double>(number(value(), 400, "speed"));
        } else if (a == "--json") {
            o.json = true;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            throw bad_arguments("unknown option " + a);
        } else {
            words.push_back(a);
        }
    }
    if (words.size() < 3)
        throw bad_arguments("needs HOST, an operation and an address");
    o.host = words[0];
    o.op = words[1];
    o.address = static_cast<uint32_t>(number(words[2], 0xFFFFFFFFul, "address"));
    size_t want = o.op == "read" || o.op == "write" ? 4 : o.op == "rmw" ? 5 : 0;
    if (want == 0)
        throw bad_arguments("unknown operation '" + o.op + "' (read, write or rmw)");
    if (words.size() != want)
        throw bad_arguments(o.op + " takes " + std::to_string(want - 2) + " arguments after HOST");
    if (o.op == "read") {
        o.size = number(words[3], rmap::max_data_length, "size");
    } else if (o.op == "write") {
        if (words[3].size() > 1 && words[3][0] == '@')
            o.file = words[3].substr(1);
        else
            o.data = hex_bytes(words[3], "data");
    } else {
        o.data = hex_bytes(words[3], "data");
        o.mask = hex_bytes(words[4], "mask");
        if (o.data.size() != o.mask.size() || o.data.size() > 8)
            throw bad_arguments("rmw needs as many mask bytes as data bytes, at most 8");
    }
    return o;
}

std::string hex(const uint8_t *d, size_t n)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        out += b;
    }
    return out;
}

// Lines of 16 bytes: address, hex bytes, printable characters.
void hex_dump(uint32_t address, const uint8_t *d, size_t n)
{
    for (size_t at = 0; at < n; at += 16) {
        std::printf("%08x ", static_cast<unsigned>(address + at));
        std::string text;
        for (size_t i = 0; i < 16; ++i) {
            if (at + i < n) {
                std::printf(" %02x", d[at + i]);
                text += d[at + i] >= 0x20 && d[at + i] < 0x7F ? static_cast<char>(d[at + i]) : '.';
            } else {
                std::printf("   ");
            }
        }
        std::printf("  |%s|\n", text.c_str());
    }
}

int run(const options &o)
{
    orw::spacewire::connection_t ifc(o.host, o.speed);
    std::unique_ptr<orw::spacewire::device_t> dev(o.path.empty() && o.return_path.empty()
                                                      ? ifc.device("node", "rmap", o.link, o.dest, o.src)
                                                      : ifc.device("node", "rmap", o.link, o.path.data(),
                                                                   o.path.size(), o.return_path.data(),
                                                                   o.return_path.size(), o.dest, o.src));
    rmap::synchronous_response r(static_cast<uint32_t>((o.timeout_ms + 9) / 10));
    r.verbose(false);
    uint8_t flags =
        static_cast<uint8_t>((o.increment ? rmap::instr_increment : 0) | (o.verify ? rmap::instr_verify : 0));
    bool waits = true;
    if (o.op == "read") {
        dev->rmap_read(o.key, flags, o.ext, o.address, o.size, &r);
    } else if (o.op == "rmw") {
        dev->rmap_readmodifywrite(o.key, o.ext, o.address, o.data.data(), o.mask.data(), o.data.size(), &r);
    } else if (!o.reply) {
        waits = false;
        if (!o.file.empty())
            dev->rmap_write_file(o.key, flags, o.ext, o.address, o.file, nullptr);
        else
            dev->rmap_write_noreply(o.key, flags, o.ext, o.address, o.data.data(), o.data.size());
    } else if (!o.file.empty()) {
        dev->rmap_write_file(o.key, flags, o.ext, o.address, o.file, &r);
    } else {
        dev->rmap_write(o.key, flags, o.ext, o.address, o.data.data(), o.data.size(), &r);
    }
    if (waits && !r.ok()) {
        // Each way of ending without a usable reply in its own words.
        switch (r.outcome()) {
        case rmap::transaction_outcome::timed_out:
        case rmap::transaction_outcome::pending:
            throw std::runtime_error("no reply within " + std::to_string(o.timeout_ms) + " ms");
        case rmap::transaction_outcome::crc_error:
            throw std::runtime_error("reply damaged (CRC error)");
        case rmap::transaction_outcome::invalid_reply:
            throw std::runtime_error("reply does not fit the command");
        default:
            throw std::runtime_error(rmap::outcome_text(r.outcome()));
        }
    }
    uint8_t status = r.status_code();
    size_t n = 0;
    const uint8_t *d = r.info(n);
    if (o.json) {
        nlohmann::json j = {{"operation", o.op},    {"link", o.link},
                            {"address", o.address}, {"replied", waits},
                            {"status", status},     {"status_text", rmap::status_text(status)}};
        if (o.op != "write")
            j["data"] = hex(d, d ? n : 0);
        std::cout << j.dump() << "\n";
    } else if (o.op != "write" && status == 0) {
        hex_dump(o.address, d, d ? n : 0);
    } else if (o.op == "write" && waits && status == 0) {
        std::printf("written\n");
    }
    if (status != 0) {
        std::fprintf(stderr, "orwin-rmap: reply status %u: %s\n", status, rmap::status_text(status));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    try {
        o = parse(argc, argv);
    } catch (const bad_arguments &e) {
        std::fprintf(stderr, "orwin-rmap: %s\n%s", e.what(), usage);
        return 2;
    }
    try {
        return run(o);
    } catch (const orw::error &e) {
        std::fprintf(stderr, "orwin-rmap: %s: error %d: %s\n", e.name().c_str(), e.get(),
                     e.text() ? e.text() : "");
    } catch (const orw::spacewire::address_error &e) {
        std::fprintf(stderr, "orwin-rmap: %s (%d)\n", e.text(), e.value());
    } catch (const std::exception *e) {
        std::string what = e->what();
        if (auto *f = dynamic_cast<const rmap::nosuchfile *>(e))
            what += ": " + f->f;
        delete e;
        std::fprintf(stderr, "orwin-rmap: %s\n", what.c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "orwin-rmap: %s\n", e.what());
    }
    return 1;
}

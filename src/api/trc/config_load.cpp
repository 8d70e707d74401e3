// SPDX-License-Identifier: MIT
// orw::trc::config: loading configuration files, JSON or native lines.
// A file that cannot be a configuration is refused naming it; names the
// formats do not know are skipped with a warning, never silently.
#include "Orwin_Capture.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace orw {
namespace trc {

using json = nlohmann::json;

namespace {

constexpr size_t max_line = 8192;
// Far beyond any real configuration; bounds what a wrong path can cost.
constexpr size_t max_file = 16u << 20;
// A pipe (the output of a command) has this long to deliver each piece.
constexpr int pipe_wait_ms = 5000;
// Warnings kept per load; a file full of unknown names needs no more.
constexpr size_t max_notes = 64;

bool ends_with(const std::string &s, const char *tail)
{
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

struct fd_closer {
    int fd;
    ~fd_closer() { ::close(fd); }
};

// The whole file. Opened without waiting for a writer, so a pipe nobody
// writes reads as empty instead of blocking.
std::string read_file(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw orw::error(path, Error_File_Not_Present, "can't open configuration file", errno);
    fd_closer closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0)
        throw orw::error(path, Error_IO_Error, "can't read configuration file", errno);
    if (S_ISDIR(st.st_mode))
        throw orw::error(path, Error_Invalid_File, "configuration file is a directory", EISDIR);
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode))
        throw orw::error(path, Error_Invalid_File, "configuration file is not a regular file", 0);
    std::string text;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
            if (text.size() > max_file)
                throw orw::error(path, Error_Invalid_File, "configuration file is too large", EFBIG);
        } else if (n == 0) {
            return text;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p = {fd, POLLIN, 0};
            int r = ::poll(&p, 1, pipe_wait_ms);
            if (r == 0)
                throw orw::error(path, Error_Receiver_Timeout, "configuration file was not delivered in time",
                                 0);
            if (r < 0 && errno != EINTR)
                throw orw::error(path, Error_IO_Error, "can't read configuration file", errno);
        } else if (errno != EINTR) {
            throw orw::error(path, Error_IO_Error, "can't read configuration file", errno);
        }
    }
}

// Control characters other than white space mean the file is not text.
bool binary(const std::string &text)
{
    return std::any_of(text.begin(), text.end(), [](char ch) {
        unsigned char c = static_cast<unsigned char>(ch);
        return (c < 0x20 && !std::strchr("\t\n\v\f\r", c)) || c == 0x7F;
    });
}

bool blank(const std::string &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::strchr(" \t\n\v\f\r", c) != nullptr; });
}

// Sets the bit of the row named `name`; false when no row has that name.
bool select_row(capture_settings &entry, const capture_option *table, size_t rows, const std::string &name)
{
    for (size_t i = 0; i < rows; ++i)
        if (name == table[i].name) {
            entry.setting |= 1u << i;
            return true;
        }
    return false;
}

// The four sections, in the order they are loaded: name, settings, table.
struct section_part {
    const char *key;
    capture_settings *settings;
    const capture_option *table;
    size_t rows;
};

std::array<section_part, 4> sections_of(config &c)
{
    return {{{"timetags", c.timetags, c.tt_options, options::tt::nooptions},
             {"errors", c.errors, c.er_options, options::er::nooptions},
             {"sources", c.sources, c.ews_options, options::ew_ports::nooptions},
             {"capture", c.captures, c.ewc_options, options::ew_capture::nooptions}}};
}

const section_part *find_section(const std::array<section_part, 4> &parts, const std::string &name)
{
    for (const section_part &p : parts)
        if (name == p.key)
            return &p;
    return nullptr;
}

// The JSON library's message without its own prefix: "parse error at line
// L, column C: ...".
std::string json_message(const std::exception &e)
{
    std::string m = e.what();
    if (!m.empty() && m[0] == '[') {
        size_t end = m.find("] ");
        if (end != std::string::npos)
            m.erase(0, end + 2);
    }
    return m;
}

// The port of a JSON element: an integer (or a number with no fraction);
// text, null, booleans and fractions are refused. Values outside 0..8 give
// -1, checked before any conversion that could overflow.
bool json_port(const nlohmann::json &v, long long &n)
{
    n = -1;
    if (v.is_number_unsigned()) {
        if (v.get<unsigned long long>() < static_cast<unsigned long long>(config::ports))
            n = v.get<long long>();
        return true;
    }
    if (v.is_number_integer())
        return true; // negative
    if (v.is_number_float()) {
        double d = v.get<double>();
        if (!std::isfinite(d) || d != std::floor(d))
            return false;
        if (d >= 0 && d < config::ports)
            n = static_cast<long long>(d);
        return true;
    }
    return false;
}

} // namespace

// The JSON library stays out of the public header: its documents are read
// here, with the configuration's private parts.
struct config::json_loader {
    static void section(config &c, const json &section, capture_settings *s, const capture_option *table,
                        size_t rows);
    static void load_doc(config &c, const json &doc);
};

void config::warn(const std::string &what)
{
    std::string note = source + ": " + what;
    if (notes.size() >= max_notes || std::find(notes.begin(), notes.end(), note) != notes.end())
        return;
    ORW_TRCAPI_TRACE(1, this, "%s", note.c_str());
    notes.push_back(note);
}

capture_settings &config::port_entry(capture_settings *s, long long n) const
{
    // The formats carry no check; a port beyond the nine entries is a typo
    // that must not pass unnoticed.
    if (n < 0 || n >= ports)
        throw orw::error(source + ": port " + std::to_string(n), Error_Parameter_RangeIncorrect,
                         "port number in configuration file not in range 0..8");
    return s[n];
}

void config::load(const std::string &path)
{
    // Errors and warnings of this load name the file; later loads from
    // streams or documents name no file.
    struct naming {
        std::string &source;
        ~naming() { source = "configuration"; }
    } named{source};
    source = path;
    notes.clear();
    entries = 0;

    const std::string text = read_file(path);
    if (blank(text))
        throw orw::error(path, Error_Invalid_File, "configuration file is empty", 0);
    if (binary(text))
        throw orw::error(path, Error_Invalid_File, "configuration file is not text", 0);
    if (ends_with(path, ".json") || ends_with(path, ".JSON")) {
        json doc;
        try {
            doc = json::parse(text);
        } catch (const json::parse_error &e) {
            throw orw::error(path + ": " + json_message(e), Error_Invalid_File,
                             "malformed JSON in configuration file", 0);
        }
        try {
            json_loader::load_doc(*this, doc);
        } catch (const json::exception &e) {
            throw orw::error(path + ": " + json_message(e), Error_Invalid_File,
                             "configuration file not understood", 0);
        }
    } else {
        ORW_TRCAPI_TRACE(2, this, "loading tarvik file '%s'", path.c_str());
        std::istringstream in(text);
        load(static_cast<std::istream &>(in));
    }
    if (entries == 0)
        throw orw::error(path, Error_Invalid_File, "configuration file holds no recognised setting", 0);
}

void config::load(std::istream &in)
{
    reset();
    notes.clear();
    entries = 0;
    const auto parts = sections_of(*this);
    std::string section;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > max_line)
            line.resize(max_line);
        std::istringstream tokens(line);
        std::string first;
        if (!(tokens >> first))
            continue;
        if (first == "}") {
            section.clear();
            continue;
        }
        if (first != "port") {
            if (section.empty()) {
                section = first;
                if (!find_section(parts, section))
                    warn("unknown section '" + section + "' skipped");
            }
            continue;
        }
        const section_part *part = find_section(parts, section);
        if (!part)
            continue;
        std::string number;
        tokens >> number;
        char *end = nullptr;
        errno = 0;
        long long n = std::strtoll(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || errno != 0)
            throw orw::error(source + ": port " + (number.empty() ? "(missing)" : number),
                             Error_Parameter_RangeIncorrect,
                             "port number in configuration file is not an integer");
        capture_settings &entry = port_entry(part->settings, n);
        ++entries;
        for (std::string token; tokens >> token;)
            if (!select_row(entry, part->table, part->rows, token))
                warn("unknown option '" + token + "' in section '" + section + "' skipped");
    }
}

void config::json_loader::section(config &c, const json &section, capture_settings *s,
                                  const capture_option *table, size_t rows)
{
    const char *name = "?";
    for (const section_part &p : sections_of(c))
        if (p.table == table)
            name = p.key;
    for (const json &element : section) {
        if (!element.is_object() || !element.contains("port"))
            continue;
        const json &port = element.at("port");
        long long n = -1;
        if (!json_port(port, n))
            throw orw::error(c.source + ": port " + port.dump(), Error_Parameter_RangeIncorrect,
                             "port number in configuration file is not an integer");
        if (n < 0)
            throw orw::error(c.source + ": port " + port.dump(), Error_Parameter_RangeIncorrect,
                             "port number in configuration file not in range 0..8");
        capture_settings &entry = c.port_entry(s, n);
        ++c.entries;
        auto it = element.find("setting");
        if (it == element.end())
            continue;
        for (const json &item : *it) {
            if (!item.is_string())
                throw orw::error(c.source + ": option " + item.dump(), Error_Parameter_RangeIncorrect,
                                 "option in configuration file is not a name");
            const std::string &option = item.get_ref<const std::string &>();
            if (!select_row(entry, table, rows, option))
                c.warn("unknown option '" + option + "' in section '" + name + "' skipped");
        }
    }
}

void config::json_loader::load_doc(config &c, const json &doc)
{
    c.notes.clear();
    c.entries = 0;
    if (!doc.is_object())
        return;
    const auto parts = sections_of(c);
    for (const auto &item : doc.items())
        if (!find_section(parts, item.key()))
            c.warn("unknown section '" + item.key() + "' skipped");
    for (const section_part &p : parts) {
        auto it = doc.find(p.key);
        if (it != doc.end())
            section(c, *it, p.settings, p.table, p.rows);
    }
}

void config::load_json(std::istream &in)
{
    json_loader::load_doc(*this, json::parse(in));
}

} // namespace trc
} // namespace orw

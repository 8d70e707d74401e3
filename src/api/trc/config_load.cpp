// orw::trc::config: loading configuration files, JSON or native lines.
#include "Orwin_Capture.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace orw {
namespace trc {

namespace {

constexpr size_t max_line = 8192;

bool ends_with(const std::string &s, const char *tail)
{
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Sets the bit of the row named `token`, if any.
void select_row(capture_settings &entry, const capture_option *table, size_t rows, const std::string &token)
{
    for (size_t i = 0; i < rows; ++i)
        if (token == table[i].name)
            entry.setting |= 1u << i;
}

// A port number from JSON; a float is range-checked before conversion, which
// would otherwise be undefined for values beyond the integer's range.
long long json_port(const nlohmann::json &v)
{
    if (v.is_number_float()) {
        double d = v.get<double>();
        return d >= 0 && d < config::ports ? static_cast<long long>(d) : -1;
    }
    return v.get<long long>();
}

} // namespace

capture_settings &config::port_entry(capture_settings *s, long long n) const
{
    // The formats carry no check; a port beyond the nine entries is a typo
    // that must not pass unnoticed.
    if (n < 0 || n >= ports)
        throw orw::error(source + ": port " + std::to_string(n), orw::connection::Error_Parameter_RangeIncorrect,
                         "port number in configuration file not in range 0..8");
    return s[n];
}

void config::load(const std::string &path)
{
    std::ifstream in(path);
    if (!in)
        throw orw::error(path, orw::connection::Error_File_Not_Present, "can't open configuration file");
    source = path;
    if (ends_with(path, ".json") || ends_with(path, ".JSON")) {
        load_json(in);
        return;
    }
    ORW_TRCAPI_TRACE(2, this, "loading tarvik file '%s'", path.c_str());
    load(static_cast<std::istream &>(in));
}

void config::load(std::istream &in)
{
    reset();
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
            if (section.empty())
                section = first;
            continue;
        }
        capture_settings *s = nullptr;
        const capture_option *table = nullptr;
        size_t rows = 0;
        if (section == "timetags") {
            s = timetags, table = tt_options, rows = options::tt::nooptions;
        } else if (section == "errors") {
            s = errors, table = er_options, rows = options::er::nooptions;
        } else if (section == "sources") {
            s = sources, table = ews_options, rows = options::ew_ports::nooptions;
        } else if (section == "capture") {
            s = captures, table = ewc_options, rows = options::ew_capture::nooptions;
        } else {
            continue;
        }
        std::string number;
        tokens >> number;
        char *end = nullptr;
        errno = 0;
        long long n = std::strtoll(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || errno != 0)
            n = -1; // not a number: refused like any other bad port
        capture_settings &entry = port_entry(s, n);
        for (std::string token; tokens >> token;)
            select_row(entry, table, rows, token);
    }
}

namespace {

// One JSON section into `s` with `table`; `entry` refuses a bad port.
template <typename Entry>
void load_section(const nlohmann::json &section, Entry entry, const capture_option *table, size_t rows)
{
    for (const nlohmann::json &element : section) {
        if (!element.is_object() || !element.contains("port"))
            continue;
        capture_settings &e = entry(json_port(element.at("port")));
        auto it = element.find("setting");
        if (it == element.end())
            continue;
        for (const nlohmann::json &item : *it)
            select_row(e, table, rows, item.get<std::string>());
    }
}

} // namespace

void config::load_json(std::istream &in)
{
    const nlohmann::json doc = nlohmann::json::parse(in);
    if (!doc.is_object())
        return;
    struct part {
        const char *key;
        capture_settings *s;
        const capture_option *table;
        size_t rows;
    };
    const part parts[] = {
        {"timetags", timetags, tt_options, options::tt::nooptions},
        {"errors", errors, er_options, options::er::nooptions},
        {"sources", sources, ews_options, options::ew_ports::nooptions},
        {"capture", captures, ewc_options, options::ew_capture::nooptions},
    };
    for (const part &p : parts) {
        auto it = doc.find(p.key);
        if (it != doc.end())
            load_section(
                *it, [&](long long n) -> capture_settings & { return port_entry(p.s, n); }, p.table, p.rows);
    }
}

} // namespace trc
} // namespace orw

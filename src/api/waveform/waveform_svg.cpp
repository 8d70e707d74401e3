// SPDX-License-Identifier: MIT
// Waveform picture: both directions' Data and Strobe traces around the
// error, with the bits, their roles and the SpaceWire characters.
#include "Orwin_Waveform.hpp"

#include <algorithm>
#include <string>

namespace orw {
namespace waveform {

namespace {

constexpr double left_margin = 64; // room for the "D" and "S" labels
constexpr double right_margin = 40;
constexpr double max_scale = 2.0;   // px per ns: 16 px per 8-ns word
constexpr double max_width = 30000; // renderers refuse much wider pictures
constexpr double height = 300;
constexpr double level_height = 30;
constexpr double row = 10;

struct palette {
    const char *data, *strobe, *labels, *brackets;
};

// Vertical positions of one direction's block.
struct layout {
    double title, names, d_line, s_line;
};

const layout upper = {18, 32, 98, 138};
const layout lower = {168, 254, 202, 242};

std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            // Control characters are not allowed in an XML document, and
            // other bytes than ASCII need not be valid UTF-8.
            out += static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E ? '?' : c;
        }
    }
    return out;
}

// Horizontal positions in ns of drawing. Time runs at its own pace except
// in long pauses with no edge in either direction: drawn at a fixed short
// length, they leave the characters around them spaced as without them.
class time_axis {
  public:
    struct pause {
        double from, to; // drawn positions
        double length;   // ns of time
    };

    time_axis(const sd_decoder &rx, const sd_decoder &tx)
    {
        std::vector<double> t;
        for (const sd_decoder *d : {&rx, &tx})
            for (int i = 0; i < d->timelength && i < static_cast<int>(d->time.size()); ++i)
                t.push_back(unit_ns(d->time[i]));
        std::sort(t.begin(), t.end());
        t.erase(std::unique(t.begin(), t.end()), t.end());
        std::vector<double> gaps;
        for (size_t i = 1; i < t.size(); ++i)
            gaps.push_back(t[i] - t[i - 1]);
        if (gaps.empty())
            return;
        std::vector<double> sorted = gaps;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double typical = std::max(sorted[sorted.size() / 2], 1.0);
        const double shortened = std::max(pause_drawn * typical, min_pause_drawn);
        knots.push_back({t[0], t[0]});
        for (size_t i = 0; i < gaps.size(); ++i) {
            const double from = knots.back().second;
            if (gaps[i] > pause_factor * typical && gaps[i] > shortened) {
                knots.push_back({t[i + 1], from + shortened});
                breaks.push_back({from, from + shortened, gaps[i]});
            } else {
                knots.push_back({t[i + 1], from + gaps[i]});
            }
        }
    }

    // Drawn position of time `ns`: between knots at the pace of their span.
    double at(double ns) const
    {
        if (knots.empty())
            return ns;
        auto next =
            std::upper_bound(knots.begin(), knots.end(), ns,
                             [](double v, const std::pair<double, double> &k) { return v < k.first; });
        if (next == knots.begin())
            return ns - knots.front().first + knots.front().second;
        auto prev = next - 1;
        if (next == knots.end())
            return ns - prev->first + prev->second;
        const double pace = (next->second - prev->second) / (next->first - prev->first);
        return prev->second + (ns - prev->first) * pace;
    }
    bool in_pause(double ns) const
    {
        const double x = at(ns);
        return std::any_of(breaks.begin(), breaks.end(),
                           [x](const pause &p) { return x > p.from && x < p.to; });
    }
    const std::vector<pause> &pauses() const { return breaks; }

  private:
    // A pause is a gap this many times the typical one between edges; it is
    // drawn as a few typical gaps, never too short for its label.
    static constexpr double pause_factor = 16;
    static constexpr double pause_drawn = 6;
    static constexpr double min_pause_drawn = 48;

    std::vector<std::pair<double, double>> knots; // (time, drawn), both ns
    std::vector<pause> breaks;
};

class painter {
  public:
    painter(FILE *out, double scale, const time_axis &axis) : out(out), scale(scale), axis(axis) {}

    double x(int t) const { return at(unit_ns(t)); }
    double at(double ns) const { return axis.at(ns) * scale + left_margin; }

    // `s` must be safe in XML (the library's own labels are); see escaped().
    void text(double tx, double ty, const char *size, const char *colour, const char *s) const
    {
        std::fprintf(out, "<text x=\"%.2f\" y=\"%.2f\" font-size=\"%s\" fill=\"%s\">%s</text>\n", tx, ty,
                     size, colour, s);
    }

    void line(double x1, double y1, double x2, double y2, const char *colour, double width) const
    {
        std::fprintf(
            out,
            "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" style=\"stroke:%s;stroke-width:%g\" />\n",
            x1, y1, x2, y2, colour, width);
    }

    // A signal steps at each edge: to the edge at the old level, then up or
    // down to the new one.
    void trace(const sd_decoder &d, const std::vector<int> &level, double base, const char *colour) const
    {
        std::fprintf(out, "<polyline style=\"fill:none;stroke:%s;stroke-width:0.5\" points=\"", colour);
        int previous = level.empty() ? 0 : level[0];
        std::fprintf(out, "%f,%f", x(0), base - level_height * previous);
        for (int i = 1; i < d.timelength; ++i) {
            double xi = x(d.time[i]);
            std::fprintf(out, ",%f,%f", xi, base - level_height * previous);
            if (level[i] != previous) {
                previous = level[i];
                std::fprintf(out, ",%f,%f", xi, base - level_height * previous);
            }
        }
        std::fputs("\" />\n", out);
    }

    void direction(const sd_decoder &d, const char *title, const layout &at, const palette &colours,
                   double width) const
    {
        std::fputs("   <g>\n", out);
        text(4, at.title, "20px", "black", title);
        for (double base : {at.d_line, at.s_line})
            for (double y : {base, base - level_height})
                line(left_margin, y, width - right_margin, y, "grey", 0.25);
        text(left_margin - 16, at.d_line - 8, "15px", "black", "D");
        trace(d, d.D, at.d_line, colours.data);
        text(left_margin - 16, at.s_line - 8, "15px", "black", "S");
        trace(d, d.S, at.s_line, colours.strobe);
        labels(d, at.names, colours);
        std::fputs("</g>\n", out);
    }

  private:
    // Rows: character names, token names, roles, bit values; then a bracket
    // under each character's code bits.
    void labels(const sd_decoder &d, double top, const palette &colours) const
    {
        const double bracket = top + 3 * row + 3;
        for (int i = 0; i < d.Dlength; ++i) {
            const double xi = x(d.time[i]);
            if (!d.spw[i].empty()) {
                text(xi + 1, top, "10px", colours.labels, d.spw[i].c_str());
                line(xi, top - 8, xi, top - 8 + 30, colours.labels, 0.25);
            }
            if (!d.token[i].empty()) {
                text(xi + 1, top + row, "10px", colours.labels, d.token[i].c_str());
                line(xi, top + row - 8, xi, top + row - 8 + 16, colours.labels, 0.25);
            }
            const char role[2] = {d.PC[i], 0}, value[2] = {d.bit[i], 0};
            text(xi + 1, top + 2 * row, "10px", colours.labels, role);
            text(xi + 1, top + 3 * row, "10px", colours.labels, value);
            if (d.PC[i] != 'a')
                continue;
            int next = i + 1;
            while (next < d.Dlength - 1 && d.PC[next] != 'C')
                ++next;
            const double end = x(d.time[next]) + 8;
            line(xi, bracket, xi, bracket + 4, colours.brackets, 0.25);
            line(xi, bracket + 4, end, bracket + 4, colours.brackets, 0.25);
            line(end, bracket + 4, end, bracket, colours.brackets, 0.25);
        }
    }

    FILE *out;
    double scale;
    const time_axis &axis;
};

int last_time(const sd_decoder &d)
{
    return d.timelength > 0 ? d.time[d.timelength - 1] : 0;
}

// Division step in ns: a round number at least 80 px apart.
long division_step(double scale)
{
    long step = 10;
    for (int i = 0; step * scale < 80 && step < 1000000000L; ++i)
        step = i % 3 == 1 ? step * 5 / 2 : step * 2;
    return step;
}

} // namespace

bool write_svg(const waveform &wf, FILE *out)
{
    const time_axis axis(wf.rx, wf.tx);
    const double span = unit_ns(std::max(last_time(wf.rx), last_time(wf.tx)));
    const double drawn_span = std::max(axis.at(span), 1.0);
    const double scale = std::min(max_scale, (max_width - left_margin - right_margin) / drawn_span);
    const double width = drawn_span * scale + left_margin + right_margin;
    const painter p(out, scale, axis);

    std::fprintf(out, "<svg width=\"%f\" height=\"%f\" xmlns=\"http://www.w3.org/2000/svg\">\n", width,
                 height);
    char title[128];
    std::snprintf(title, sizeof title, "port %d, waveform %d: ", wf.port, wf.id);
    p.text(left_margin, upper.title, "14px", "black", escaped(title + wf.cause).c_str());

    const double error_x = p.x(wf.rx.error_time);
    std::fprintf(
        out,
        "<rect width=\"10\" height=\"240\" style=\"fill:yellow;stroke-width:3;stroke:yellow\" x=\"%f\" "
        "y=\"0\" />\n",
        error_x - 5);
    const long error_ns = static_cast<long>(unit_ns(wf.rx.error_time));
    std::fprintf(out, "<!-- Division error time %ld -->\n", error_ns);
    const long step = division_step(scale);
    char label[32];
    for (long k = 1; k * step <= span; ++k) {
        for (int sign : {1, -1}) {
            const double at = error_ns + sign * k * step;
            if (at < 0 || at > span || axis.in_pause(at))
                continue;
            const double dx = p.at(at);
            p.line(dx, 0, dx, height - 10, "grey", 0.5);
            std::snprintf(label, sizeof label, sign > 0 ? "+ %ld ns" : "- %ld ns", k * step);
            p.text(dx + 2, (upper.s_line + lower.title) / 2 + 2, "10px", "grey", label);
        }
    }
    std::fputs("<!-- Error bar-->\n", out);
    // Each shortened pause: a break across the traces and its true length.
    for (const time_axis::pause &gap : axis.pauses()) {
        const double from = gap.from * scale + left_margin, to = gap.to * scale + left_margin;
        for (double bx : {from + (to - from) / 3, from + 2 * (to - from) / 3})
            p.line(bx - 4, height - 10, bx + 4, 10, "grey", 0.5);
        std::snprintf(label, sizeof label, "pause %.0f ns", gap.length);
        p.text(from + 2, height - 2, "10px", "grey", label);
    }

    p.direction(wf.rx, "RX", upper, {"purple", "blue", "green", "red"}, width);
    p.direction(wf.tx, "TX", lower, {"blue", "purple", "green", "red"}, width);
    std::fputs("</svg>\n", out);
    return !std::ferror(out);
}

} // namespace waveform
} // namespace orw

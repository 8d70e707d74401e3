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
constexpr double max_scale = 2.0;  // px per ns: 16 px per 8-ns word
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
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default:
            // Control characters are not allowed in an XML document, and
            // other bytes than ASCII need not be valid UTF-8.
            out += static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E ? '?' : c;
        }
    }
    return out;
}

class painter {
public:
    painter(FILE *out, double scale) : out(out), scale(scale) {}

    double x(int t) const { return unit_ns(t) * scale + left_margin; }

    // `s` must be safe in XML (the library's own labels are); see escaped().
    void text(double tx, double ty, const char *size, const char *colour, const char *s) const
    {
        std::fprintf(out, "<text x=\"%.2f\" y=\"%.2f\" font-size=\"%s\" fill=\"%s\">%s</text>\n", tx, ty, size,
                     colour, s);
    }

    void line(double x1, double y1, double x2, double y2, const char *colour, double width) const
    {
        std::fprintf(out,
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
};

int last_time(const sd_decoder &d) { return d.timelength > 0 ? d.time[d.timelength - 1] : 0; }

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
    const double span = unit_ns(std::max(last_time(wf.rx), last_time(wf.tx)));
    const double scale = std::min(max_scale, (max_width - left_margin - right_margin) / std::max(span, 1.0));
    const double width = span * scale + left_margin + right_margin;
    const painter p(out, scale);

    std::fprintf(out, "<svg width=\"%f\" height=\"%f\" xmlns=\"http://www.w3.org/2000/svg\">\n", width, height);
    char title[128];
    std::snprintf(title, sizeof title, "port %d, waveform %d: ", wf.port, wf.id);
    p.text(left_margin, upper.title, "14px", "black", escaped(title + wf.cause).c_str());

    const double error_x = p.x(wf.rx.error_time);
    std::fprintf(out,
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
            if (at < 0 || at > span)
                continue;
            const double dx = at * scale + left_margin;
            p.line(dx, 0, dx, height - 10, "grey", 0.5);
            std::snprintf(label, sizeof label, sign > 0 ? "+ %ld ns" : "- %ld ns", k * step);
            p.text(dx + 2, (upper.s_line + lower.title) / 2 + 2, "10px", "grey", label);
        }
    }
    std::fputs("<!-- Error bar-->\n", out);

    p.direction(wf.rx, "RX", upper, {"purple", "blue", "green", "red"}, width);
    p.direction(wf.tx, "TX", lower, {"blue", "purple", "green", "red"}, width);
    std::fputs("</svg>\n", out);
    return !std::ferror(out);
}

} // namespace waveform
} // namespace orw

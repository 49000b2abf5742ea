// Writing the loudness chart as SVG.
#include "host/report/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "host/report/meter_log.h"
#include "host/common/progress.h"
#include "host/common/text.h"

namespace plumbra::host {

namespace {

std::string num(double v)
{
    return printed("%.1f", v);
}

std::string escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// A step of 1, 2 or 5 times a power of ten giving roughly `target` divisions.
double niceStep(double span, int target)
{
    const double raw = span / target;
    static const double kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200};
    for (double s : kSteps)
        if (s >= raw) return s;
    return 3600.0 * std::ceil(raw / 3600.0);
}

std::string line(double x1, double y1, double x2, double y2, const std::string& attributes)
{
    return printed("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"%s/>\n", x1, y1, x2, y2, attributes.c_str());
}

std::string text(double x, double y, const std::string& attributes, const std::string& content)
{
    return printed("<text x=\"%.1f\" y=\"%.1f\"%s>", x, y, attributes.c_str()) + content + "</text>\n";
}

// Each series' colour and integrated loudness, and the target, from (lx, ly) down.
std::string legend(const std::vector<PlotSeries>& series, double lx, double ly)
{
    std::string svg;
    for (const auto& s : series) {
        svg += line(lx, ly, lx + 24, ly, " stroke=\"" + s.colour + "\" stroke-width=\"2\"");
        svg += text(lx + 30, ly + 4, "", escape(s.label));
        ly += 18;
        svg += line(lx, ly, lx + 24, ly, " stroke=\"" + s.colour + "\" stroke-dasharray=\"6 4\"");
        svg += text(lx + 30, ly + 4, " fill=\"#555\"",
                    "integrated " + (std::isfinite(s.integrated) ? num(s.integrated) + " LUFS" : std::string("(silent)")));
        ly += 26;
    }
    svg += line(lx, ly, lx + 24, ly, " stroke=\"#999\" stroke-dasharray=\"2 4\"");
    return svg + text(lx + 30, ly + 4, " fill=\"#555\"", "-23 LUFS target");
}

// A colour for f in 0..1: dark blue through teal and green to yellow.
// `fade` in 0..1 mixes it towards white.
std::string heat(double f, double fade = 0.0)
{
    static const double kStops[][3] = {{38, 24, 95}, {33, 102, 172}, {31, 158, 137}, {122, 201, 80}, {246, 228, 60}};
    const double at = std::clamp(f, 0.0, 1.0) * 4.0;
    const int i = std::min(3, static_cast<int>(at));
    const double u = at - i;
    auto mix = [&](int c) {
        const double v = kStops[i][c] + (kStops[i + 1][c] - kStops[i][c]) * u;
        return static_cast<int>(std::lround(v + (255.0 - v) * fade));
    };
    return printed("#%02x%02x%02x", mix(0), mix(1), mix(2));
}

constexpr double kBandRow = 20, kBandPanelTop = 40, kBandPanelBottom = 52;

std::string rect(double x, double y, double w, double h, const std::string& attributes)
{
    return printed("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"%s/>\n", x, y, w, h, attributes.c_str());
}

// The band panel from y = `y0` down: one row per band, one column per pixel of time
// at most (the mean of the lines that fall in it), and the colour scale in the right margin.
std::string bandPanel(const MeterLog& log, double y0, double left, double pw, double duration, double tStep)
{
    const double ph = kBandRow * kNumBands, top = y0 + kBandPanelTop;
    double lo = 1e9, hi = -1e9;
    for (size_t i = 0; i < log.lines(); ++i)
        for (int b = 1; b <= kNumBands; ++b) {
            const double g = log.bandGainDb(i, b);
            if (!std::isfinite(g)) continue;
            lo = std::min(lo, g);
            hi = std::max(hi, g);
        }
    if (lo > hi) lo = 0, hi = 1;
    const double scaleStep = hi - lo > 30 ? 10 : 5;
    lo = scaleStep * std::floor(lo / scaleStep);
    hi = std::max(lo + scaleStep, scaleStep * std::ceil(hi / scaleStep));
    auto X = [&](double t) { return left + pw * std::min(t, duration) / duration; };

    std::string svg = text(left, y0 + 24, " font-size=\"14\" font-weight=\"bold\"", "Band gain") +
                      text(left + 80, y0 + 24, " fill=\"#555\"",
                           "levelling gain of each band in dB, every 100 ms the mean of its lowest and highest;"
                           " faded where its gate is closed");
    svg += "<g shape-rendering=\"crispEdges\">\n";
    const size_t n = log.lines();
    const auto columns = static_cast<size_t>(std::max(1.0, std::min(static_cast<double>(n), pw)));
    for (int b = 1; b <= kNumBands; ++b) {
        const double y = top + kBandRow * (b - 1);
        for (size_t c = 0, first = 0; c < columns && first < n; ++c) {
            const size_t last = std::max(first + 1, (c + 1) * n / columns);
            double sum = 0;
            size_t closed = 0;
            for (size_t i = first; i < last; ++i) {
                sum += log.bandGainDb(i, b);
                closed += log.value(i, bandMeter(b, kBandGate)) < kGateClosedBelow ? 1 : 0;
            }
            const double x0 = X(first == 0 ? 0.0 : log.seconds(first - 1)), x1 = X(log.seconds(last - 1));
            const double mean = sum / static_cast<double>(last - first);
            // Faded where the gate was closed for most of the column.
            const bool faded = 2 * closed > last - first;
            svg += rect(x0, y, std::max(0.1, x1 - x0), kBandRow,
                        " fill=\"" + heat((mean - lo) / (hi - lo), faded ? 0.6 : 0.0) + "\"");
            first = last;
        }
    }
    svg += "</g>\n<g fill=\"#333\" text-anchor=\"end\">\n";
    for (int b = 1; b <= kNumBands; ++b) svg += text(left - 8, top + kBandRow * (b - 0.5) + 4, "", printed("%d", b));
    svg += "</g>\n<g fill=\"#333\" text-anchor=\"middle\">\n";
    for (double t = 0; t <= duration + 1e-9; t += tStep) svg += text(X(t), top + ph + 18, "", clockText(t));
    svg += "</g>\n" + rect(left, top, pw, ph, " fill=\"none\" stroke=\"#888\"");
    svg += text(left + pw / 2, top + ph + 40, " text-anchor=\"middle\" fill=\"#333\"", "time (m:ss)");
    svg += "<text transform=\"translate(22 " + num(top + ph / 2) +
           ") rotate(-90)\" text-anchor=\"middle\" fill=\"#333\">band</text>\n";

    // The scale: a vertical bar, high gains at the top, with a tick per step.
    const double sx = left + pw + 16, sw = 18;
    svg += "<g shape-rendering=\"crispEdges\">\n";
    for (int k = 0; k < 48; ++k)
        svg += rect(sx, top + ph * k / 48.0, sw, ph / 48.0 + 0.5, " fill=\"" + heat(1.0 - (k + 0.5) / 48.0) + "\"");
    svg += "</g>\n" + rect(sx, top, sw, ph, " fill=\"none\" stroke=\"#888\"");
    for (double v = lo; v <= hi + 1e-9; v += scaleStep) {
        const double y = top + ph * (hi - v) / (hi - lo);
        svg += line(sx + sw, y, sx + sw + 4, y, " stroke=\"#333\"");
        svg += text(sx + sw + 8, y + 4, " fill=\"#333\"", v == 0 ? std::string("0 dB") : printed("%+.0f dB", v));
    }
    svg += text(sx, top + ph + 36, " fill=\"#555\"", "faded: gate closed");
    return svg;
}

}  // namespace

std::string loudnessPlotSvg(const std::string& title, const std::vector<PlotSeries>& series, double step,
                            const MeterLog* bands)
{
    constexpr double W = 1000, H = 520, left = 70, right = 190, top = 56, bottom = 58;
    const double height = bands ? H + kBandPanelTop + kBandRow * kNumBands + kBandPanelBottom : H;
    const double pw = W - left - right, ph = H - top - bottom;

    size_t points = 0;
    double hi = -200, lo = 200;
    for (const auto& s : series) {
        points = std::max(points, s.lufs.size());
        for (float v : s.lufs)
            if (std::isfinite(v)) {
                hi = std::max(hi, static_cast<double>(v));
                lo = std::min(lo, static_cast<double>(v));
            }
    }
    // Loudness axis in 6 LU steps, from the quietest passage to the loudest, at least -48..0 LUFS.
    double yMax = std::max(0.0, 6.0 * std::ceil(hi / 6.0));
    double yMin = std::min(-48.0, 6.0 * std::floor(lo / 6.0));
    yMin = std::max(yMin, -84.0);
    const double duration = std::max(1.0, static_cast<double>(points) * step);
    const double tStep = niceStep(duration, 10);

    auto X = [&](double t) { return left + pw * t / duration; };
    auto Y = [&](double l) { return top + ph * (yMax - std::clamp(l, yMin, yMax)) / (yMax - yMin); };

    std::string svg = printed("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                              "width=\"%.1f\" height=\"%.1f\" viewBox=\"0 0 %.1f %.1f\" font-family=\"Helvetica, Arial, "
                              "sans-serif\" font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
                              W, height, W, height);
    svg += "<text x=\"" + num(left) + "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">" + escape(title) + "</text>\n";
    svg += "<text x=\"" + num(left) + "\" y=\"42\" fill=\"#555\">Short-term loudness (3 s window, every " +
           num(step * 1000).substr(0, num(step * 1000).find('.')) + " ms), EBU R 128 / ITU-R BS.1770</text>\n";

    // Grid and axes.
    svg += "<g stroke=\"#e3e3e3\" stroke-width=\"1\">\n";
    for (double l = yMin; l <= yMax + 1e-9; l += 6)
        svg += line(left, Y(l), left + pw, Y(l), "");
    for (double t = 0; t <= duration + 1e-9; t += tStep)
        svg += line(X(t), top, X(t), top + ph, "");
    svg += "</g>\n";
    svg += "<g fill=\"#333\" text-anchor=\"end\">\n";
    for (double l = yMin; l <= yMax + 1e-9; l += 6)
        svg += text(left - 8, Y(l) + 4, "", num(l).substr(0, num(l).find('.')));
    svg += "</g>\n<g fill=\"#333\" text-anchor=\"middle\">\n";
    for (double t = 0; t <= duration + 1e-9; t += tStep)
        svg += text(X(t), top + ph + 18, "", clockText(t));
    svg += "</g>\n";
    svg += "<rect x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" + num(pw) + "\" height=\"" + num(ph) +
           "\" fill=\"none\" stroke=\"#888\"/>\n";
    svg += text(left + pw / 2, H - 14, " text-anchor=\"middle\" fill=\"#333\"", "time (m:ss)");
    svg += "<text transform=\"translate(22 " + num(top + ph / 2) +
           ") rotate(-90)\" text-anchor=\"middle\" fill=\"#333\">short-term loudness (LUFS)</text>\n";

    // Reference: the broadcast target of -23 LUFS.
    if (-23 >= yMin && -23 <= yMax)
        svg += line(left, Y(-23), left + pw, Y(-23), " stroke=\"#999\" stroke-width=\"1\" stroke-dasharray=\"2 4\"");

    // Curves, broken where there is no measurement (silence below the gate).
    for (const auto& s : series) {
        std::string d;
        bool pen = false;
        for (size_t i = 0; i < s.lufs.size(); ++i) {
            const float v = s.lufs[i];
            if (!std::isfinite(v) || v < yMin) {
                pen = false;
                continue;
            }
            d += (pen ? "L" : "M") + num(X(static_cast<double>(i + 1) * step)) + " " + num(Y(v)) + " ";
            pen = true;
        }
        svg += "<path d=\"" + d + "\" fill=\"none\" stroke=\"" + s.colour +
               "\" stroke-width=\"1.6\" stroke-linejoin=\"round\"/>\n";
        if (std::isfinite(s.integrated) && s.integrated >= yMin && s.integrated <= yMax)
            svg += line(left, Y(s.integrated), left + pw, Y(s.integrated),
                        " stroke=\"" + s.colour + "\" stroke-width=\"1\" stroke-dasharray=\"6 4\" opacity=\"0.8\"");
    }

    svg += legend(series, left + pw + 16, top + 10);
    if (bands) svg += bandPanel(*bands, H, left, pw, duration, tStep);
    svg += "</svg>\n";
    return svg;
}

}  // namespace plumbra::host

// The time line drawn by gnuplot: the run's data go to it as inline data
// blocks with a script, and it writes the SVG. Two windows, each a chart and
// a strip: the whole run, then the last ten minutes before the failure (or
// the end) in detail. The chart has the tuned frequency on the left axis and
// RSSI and TMC credit on the right, or, over a span of hours, a panel for each
// (timelineSlices); the strip has a row per fault that was
// active (a band while it lasted) and a row per kind of event (a mark).
#include "tools/Timeline.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane {

namespace {

constexpr double kDetailSeconds = 600;
// A window with more samples than this is drawn in slices (timelineSlices):
// the plot is 1400 pixels wide, and more points than it has pixels only make
// the traces jitter on top of each other.
constexpr std::size_t kMostPoints = 2400;
constexpr std::size_t kSlices = 600;

const char* markName(Timeline::MarkKind kind)
{
    switch (kind) {
    case Timeline::MarkKind::Search:
        return "search";
    case Timeline::MarkKind::Recovery:
        return "recovery";
    case Timeline::MarkKind::PowerDown:
        return "power down";
    case Timeline::MarkKind::PowerUp:
        return "power up";
    case Timeline::MarkKind::SupplyDip:
        return "supply dip";
    case Timeline::MarkKind::Failure:
        return "failure";
    }
    return "";
}

// A text in gnuplot's single quotes.
std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += '\'';
        if (c == '\n' || c == '\r') c = ' ';
        out += c;
    }
    return out + "'";
}

struct Row {
    std::string name;
    unsigned colour;
};

// The rows of the strip: the faults that occurred, then the kinds of event.
struct Strip {
    std::vector<Row> rows;
    int faultRow[unsigned(FaultKind::Count)];
    int markRow[6];
};

Strip stripOf(const Timeline& timeline)
{
    static const unsigned faultColours[] = {0xd62728, 0x9467bd, 0x8c564b, 0x7f7f7f, 0x1f1f1f, 0x555555,
                                            0xbcbd22, 0xe377c2, 0xff7f0e, 0x17becf, 0x2ca02c};
    static const unsigned markColours[] = {0x1f77b4, 0xff7f0e, 0x000000, 0x2ca02c, 0xe377c2, 0xff0000};
    Strip strip{};
    std::fill(std::begin(strip.faultRow), std::end(strip.faultRow), -1);
    std::fill(std::begin(strip.markRow), std::end(strip.markRow), -1);
    for (unsigned k = 0; k < unsigned(FaultKind::Count); ++k)
        for (const Timeline::Band& band : timeline.bands())
            if (unsigned(band.kind) == k && strip.faultRow[k] < 0) {
                strip.faultRow[k] = int(strip.rows.size());
                strip.rows.push_back({faultName(FaultKind(k)), faultColours[k]});
            }
    for (unsigned m = 0; m < 6; ++m)
        for (const Timeline::Mark& mark : timeline.marks())
            if (unsigned(mark.kind) == m && strip.markRow[m] < 0) {
                strip.markRow[m] = int(strip.rows.size());
                strip.rows.push_back({markName(mark.kind), markColours[m]});
            }
    return strip;
}

struct Counts {
    std::size_t samples = 0, bands = 0, marks = 0;
};

Counts writeData(std::FILE* plot, const Timeline& timeline, const Strip& strip, double from, double to,
                 const std::string& suffix, double unit, bool sliced)
{
    Counts counts;
    std::fprintf(plot, "$samples%s << EOD\n", suffix.c_str());
    if (sliced) {
        for (const TimelineSlice& s : timelineSlices(timeline.samples(), from, to, kSlices)) {
            ++counts.samples;
            std::fprintf(plot, "%.4f %.2f %.2f %.2f %.1f %.2f %.1f %.1f %.2f %.1f\n", s.time / unit, s.frequency,
                         s.lowestFrequency, s.highestFrequency, s.rssiLeast, s.rssiMean, s.rssiMost, s.tmcLeast,
                         s.tmcMean, s.tmcMost);
        }
    } else {
        for (const auto& s : timeline.samples()) {
            if (s.time < from || s.time > to) continue;
            ++counts.samples;
            std::fprintf(plot, "%.3f %.2f %d %d\n", s.time / unit, s.frequency, s.rssi, s.tmcCredit);
        }
    }
    std::fprintf(plot, "EOD\n$bands%s << EOD\n", suffix.c_str());
    for (const auto& b : timeline.bands()) {
        if (b.to < from || b.from > to) continue;
        const double a = std::max(b.from, from) / unit, z = std::min(b.to, to) / unit;
        const int row = strip.faultRow[unsigned(b.kind)];
        ++counts.bands;
        std::fprintf(plot, "%.4f %d %.4f %u\n", (a + z) / 2, row, std::max((z - a) / 2, (to - from) / unit / 2000),
                     strip.rows[row].colour);
    }
    std::fprintf(plot, "EOD\n$marks%s << EOD\n", suffix.c_str());
    for (const auto& m : timeline.marks()) {
        if (m.time < from || m.time > to) continue;
        const int row = strip.markRow[unsigned(m.kind)];
        ++counts.marks;
        std::fprintf(plot, "%.4f %d %u\n", m.time / unit, row, strip.rows[row].colour);
    }
    std::fprintf(plot, "EOD\n");
    return counts;
}

// Where on the page a window's chart and strip go (fractions of the page).
struct Place {
    double top, chart, strip;
};

void plotWindow(std::FILE* plot, const Timeline& timeline, const Strip& strip, double from, double to,
                const std::string& suffix, double unit, const std::string& heading, Place place, Counts counts,
                bool sliced)
{
    const char* unitName = unit == 3600 ? "hours" : unit == 60 ? "minutes" : "seconds";
    std::fprintf(plot, "unset arrow; unset label\nset xrange [%.4f:%.4f]\nunset xlabel\nset format x ''\n", from / unit,
                 to / unit);
    std::fprintf(plot, "set origin 0,%.3f\nset size 1,%.3f\nset bmargin 0.5\nset tmargin 2\n", place.top - place.chart,
                 place.chart);
    for (const auto& m : timeline.marks())
        if (m.kind == Timeline::MarkKind::Failure && m.time >= from && m.time <= to)
            std::fprintf(plot,
                         "set arrow from %.4f, graph 0 to %.4f, graph 1 nohead lc rgb '#ff0000' lw 2\n"
                         "set label %s at %.4f, graph 0.9 right offset -1,0 tc rgb '#ff0000' front noenhanced\n",
                         m.time / unit, m.time / unit, quoted("failure: " + m.text.substr(0, 90)).c_str(),
                         m.time / unit);
    if (sliced) {
        // Hours of samples: the three traces in panels of their own, one
        // above the other, so that none is drawn over another; each is its
        // mean over a slice, with the range it spanned there as a pale band
        // behind it, so a spike still shows.
        static const struct {
            const char* label;
            const char* range;
            const char* columns;
        } kPanels[] = {
            {"tuned (MHz)", "[86:109]",
             "using 1:($3 > 0 ? $3 : NaN):4 with filledcurves lc rgb '#1f77b4', '' using 1:($2 > 0 ? $2 : NaN) with "
             "steps lw 1.5 lc rgb '#1f77b4'"},
            {"RSSI (dBuV)", "[0:80]",
             "using 1:5:7 with filledcurves lc rgb '#2ca02c', '' using 1:6 with lines lc rgb '#2ca02c'"},
            {"TMC credit", "[0:105]",
             "using 1:8:10 with filledcurves lc rgb '#ff7f0e', '' using 1:9 with lines lc rgb '#ff7f0e'"},
        };
        const double panel = place.chart / 3;
        std::fprintf(plot,
                     "set style fill transparent solid 0.2 noborder\nset key off\nunset y2tics\n"
                     "set ytics autofreq nomirror\n");
        for (std::size_t i = 0; i < 3; ++i) {
            std::fprintf(plot, "set origin 0,%.3f\nset size 1,%.3f\nset tmargin %s\nset bmargin 0.3\n",
                         place.top - panel * double(i + 1), panel, i == 0 ? "2" : "0.3");
            if (i == 0)
                std::fprintf(plot, "set title %s noenhanced\n",
                             quoted(heading + " (each trace: its mean and range)").c_str());
            std::fprintf(plot, "set yrange %s\nset ylabel '%s'\nplot $samples%s %s\nunset title; unset label\n",
                         kPanels[i].range, kPanels[i].label, suffix.c_str(), kPanels[i].columns);
        }
        std::fprintf(plot, "set bmargin 0.5\n");
    } else {
        std::fprintf(plot,
                     "set title %s noenhanced\nset yrange [86:109]\nset ylabel 'tuned (MHz)'\nset ytics autofreq "
                     "nomirror\nset y2range [0:105]\nset y2tics\nset y2label 'RSSI (dBuV), TMC credit'\nset key "
                     "outside right\n",
                     quoted(heading).c_str());
        std::fprintf(plot,
                     "plot $samples%s using 1:($2 > 0 ? $2 : NaN) with steps lw 2 lc rgb '#1f77b4' title 'tuned',"
                     " '' using 1:($3 >= 0 ? $3 : NaN) axes x1y2 with lines lc rgb '#2ca02c' title 'RSSI',"
                     " '' using 1:4 axes x1y2 with lines lc rgb '#ff7f0e' title 'TMC credit'\n",
                     suffix.c_str());
    }
    std::fprintf(plot,
                 "unset title; unset y2tics; unset y2label; unset ylabel; set key off; unset arrow; unset label\n");
    std::fprintf(plot, "set origin 0,%.3f\nset size 1,%.3f\nset tmargin 0\nset bmargin 2.5\nset format x '%%g'\n",
                 place.top - place.chart - place.strip, place.strip);
    std::fprintf(plot, "set xlabel 'virtual %s' offset 0,0.8\n", unitName);
    std::fprintf(plot, "set yrange [%.1f:-0.5]\nset ytics (", double(strip.rows.size()) - 0.5);
    for (std::size_t r = 0; r < strip.rows.size(); ++r)
        std::fprintf(plot, "%s%s %zu", r ? ", " : "", quoted(strip.rows[r].name).c_str(), r);
    // An empty block would only make gnuplot warn; a strip with neither still
    // needs a plot for its axis.
    std::string plots;
    if (counts.bands != 0)
        plots += "$bands" + suffix + " using 1:2:3:(0.35):4 with boxxyerror fs solid 0.7 noborder lc rgb variable";
    if (counts.marks != 0)
        plots += std::string(plots.empty() ? "" : ", ") + "$marks" + suffix +
                 " using 1:2:3 with points pt 7 ps 0.8 lc rgb variable";
    if (plots.empty()) plots = "NaN notitle";
    std::fprintf(plot, ") noenhanced\nplot %s\n", plots.c_str());
}

}  // namespace

std::vector<TimelineSlice> timelineSlices(const std::vector<Timeline::Sample>& samples, double from, double to,
                                          std::size_t slices)
{
    struct Sums {
        std::size_t count = 0, rssiCount = 0;
        double lowest = 0, highest = 0, rssiLeast = 0, rssiSum = 0, rssiMost = 0;
        double tmcLeast = 0, tmcSum = 0, tmcMost = 0;
        std::vector<std::pair<double, std::size_t>> held;  // frequency, samples on it
    };
    std::vector<Sums> sums(slices);
    const double width = (to - from) / double(slices);
    if (slices == 0 || width <= 0) return {};
    for (const Timeline::Sample& s : samples) {
        if (s.time < from || s.time > to) continue;
        Sums& in = sums[std::min(slices - 1, std::size_t((s.time - from) / width))];
        const double tmc = s.tmcCredit;
        if (in.count++ == 0) in.tmcLeast = in.tmcMost = tmc;
        in.tmcLeast = std::min(in.tmcLeast, tmc);
        in.tmcMost = std::max(in.tmcMost, tmc);
        in.tmcSum += tmc;
        if (s.rssi >= 0) {
            const double rssi = s.rssi;
            if (in.rssiCount++ == 0) in.rssiLeast = in.rssiMost = rssi;
            in.rssiLeast = std::min(in.rssiLeast, rssi);
            in.rssiMost = std::max(in.rssiMost, rssi);
            in.rssiSum += rssi;
        }
        if (s.frequency > 0) {
            in.lowest = in.lowest == 0 ? s.frequency : std::min(in.lowest, s.frequency);
            in.highest = std::max(in.highest, s.frequency);
        }
        auto it = std::find_if(in.held.begin(), in.held.end(), [&](const auto& f) { return f.first == s.frequency; });
        if (it == in.held.end())
            in.held.emplace_back(s.frequency, 1);
        else
            ++it->second;
    }
    std::vector<TimelineSlice> out;
    for (std::size_t i = 0; i < slices; ++i) {
        const Sums& in = sums[i];
        if (in.count == 0) continue;
        const auto most = std::max_element(in.held.begin(), in.held.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
        const double nan = std::numeric_limits<double>::quiet_NaN();
        out.push_back({from + (double(i) + 0.5) * width, most->first, in.lowest, in.highest,
                       in.rssiCount ? in.rssiLeast : nan, in.rssiCount ? in.rssiSum / double(in.rssiCount) : nan,
                       in.rssiCount ? in.rssiMost : nan, in.tmcLeast, in.tmcSum / double(in.count), in.tmcMost});
    }
    return out;
}

void writeTimelinePlot(const Timeline& timeline, const std::string& svgPath, const std::string& title)
{
    Strip strip = stripOf(timeline);
    if (strip.rows.empty()) strip.rows.push_back({"(no fault, no event)", 0});
    double focus = timeline.end();
    for (const auto& m : timeline.marks())
        if (m.kind == Timeline::MarkKind::Failure) focus = m.time;
    const double end = std::max(timeline.end(), 1.0);
    const double overviewUnit = end > 3 * 3600 ? 3600 : 60;
    const double detailFrom = std::max(0.0, focus - kDetailSeconds);
    const double detailTo = std::min(end, focus + 10);

    // gnuplot writes the picture to its standard output, which is the file:
    // whatever goes wrong, none of it reaches this program's. What it says
    // goes to a file of its own, for the message.
    const int svg = ::open(svgPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (svg < 0) throw std::runtime_error(svgPath + ": cannot be written: " + std::strerror(errno));
    std::FILE* said = std::tmpfile();
    int script[2];
    if (said == nullptr || ::pipe2(script, O_CLOEXEC) != 0) {
        ::close(svg);
        if (said != nullptr) std::fclose(said);
        throw std::runtime_error("cannot run gnuplot to draw " + svgPath);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, script[0], 0);
    posix_spawn_file_actions_adddup2(&actions, svg, 1);
    posix_spawn_file_actions_adddup2(&actions, ::fileno(said), 2);
    char name[] = "gnuplot";
    char* argv[] = {name, nullptr};
    pid_t gnuplot = 0;
    const int spawnError = ::posix_spawnp(&gnuplot, "gnuplot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(script[0]);
    ::close(svg);
    if (spawnError != 0) {
        ::close(script[1]);
        std::fclose(said);
        throw std::runtime_error("cannot run gnuplot to draw " + svgPath + ": " + std::strerror(spawnError));
    }
    std::FILE* plot = ::fdopen(script[1], "w");
    if (plot == nullptr) ::close(script[1]);

    if (plot != nullptr) {
        // In pixels: a chart of fixed height, a strip that grows with its rows.
        constexpr double kChart = 320, kRow = 20, kStripAxis = 45, kWindowGap = 70, kPageTitle = 40;
        const double stripPixels = kStripAxis + kRow * double(strip.rows.size());
        const double page = kPageTitle + 2 * (kChart + stripPixels + kWindowGap);
        const double chartHeight = kChart / page;
        const double stripHeight = stripPixels / page;
        std::fprintf(plot, "set terminal svg size 1400,%d dynamic font 'Sans,11' background '#ffffff'\n", int(page));
        std::fprintf(plot, "set grid xtics lc rgb '#dddddd'\nset lmargin 22\nset rmargin 24\n");
        const auto inside = [&](double from, double to) {
            return std::size_t(std::count_if(timeline.samples().begin(), timeline.samples().end(),
                                             [&](const auto& s) { return s.time >= from && s.time <= to; }));
        };
        const bool slicedAll = inside(0, end) > kMostPoints;
        const bool slicedDetail = inside(detailFrom, detailTo) > kMostPoints;
        const Counts all = writeData(plot, timeline, strip, 0, end, "All", overviewUnit, slicedAll);
        const Counts detail = writeData(plot, timeline, strip, detailFrom, detailTo, "Detail", 1, slicedDetail);
        std::fprintf(plot, "set multiplot title %s noenhanced\n", quoted(title).c_str());
        const struct {
            double from, to, unit;
            const char* suffix;
            std::string heading;
            double top;
            Counts counts;
            bool sliced;
        } windows[] = {{0, end, overviewUnit, "All", "the whole run", 1 - kPageTitle / page, all, slicedAll},
                       {detailFrom, detailTo, 1, "Detail",
                        focus < timeline.end() ? "the last ten minutes before the failure" : "the last ten minutes",
                        0.48, detail, slicedDetail}};
        for (const auto& w : windows)
            plotWindow(plot, timeline, strip, w.from, w.to, w.suffix, w.unit, w.heading,
                       {w.top, chartHeight, stripHeight}, w.counts, w.sliced);
        std::fprintf(plot, "unset multiplot\n");
        std::fclose(plot);
    }
    int status = 0;
    while (::waitpid(gnuplot, &status, 0) < 0 && errno == EINTR) {}
    // gnuplot shows the failing line of the script and a caret above its
    // message; the message is its last line.
    std::string line, lastLine;
    std::rewind(said);
    for (int c; (c = std::fgetc(said)) != EOF;) {
        if (c != '\n') {
            if (line.size() < 200) line += static_cast<char>(c);
            continue;
        }
        if (!line.empty()) lastLine = line;
        line.clear();
    }
    if (!line.empty()) lastLine = line;
    std::fclose(said);
    if (plot == nullptr || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("gnuplot could not draw " + svgPath + (lastLine.empty() ? "" : ": " + lastLine));
}

}  // namespace corvane

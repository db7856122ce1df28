#include "tests/support/Landing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace landing {

std::vector<std::uint64_t> choosePoints(const std::vector<SpanPoint>& span, unsigned extra, std::uint64_t seed,
                                        std::size_t everyPointUpTo)
{
    if (span.size() <= everyPointUpTo) {
        std::vector<std::uint64_t> every;
        for (const SpanPoint& p : span) every.push_back(p.point);
        return every;
    }
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>> firstAndLast;  // by place
    for (const SpanPoint& p : span) {
        auto [it, fresh] = firstAndLast.try_emplace(p.place, p.point, p.point);
        if (!fresh) it->second.second = p.point;
    }
    std::set<std::uint64_t> chosen;
    for (const auto& [place, ends] : firstAndLast) {
        chosen.insert(ends.first);
        chosen.insert(ends.second);
    }
    // The sample is drawn in the span's order, which does not depend on
    // where the program was loaded.
    std::vector<std::uint64_t> rest;
    for (const SpanPoint& p : span)
        if (!chosen.contains(p.point)) rest.push_back(p.point);
    sim::Random draw(seed);
    for (unsigned i = 0; i < extra && !rest.empty(); ++i) {
        const std::uint32_t at = draw.below(static_cast<std::uint32_t>(rest.size()));
        chosen.insert(rest[at]);
        rest.erase(rest.begin() + at);
    }
    return {chosen.begin(), chosen.end()};
}

Coverage explore(const Play& play, const std::function<std::string(const std::vector<std::uint64_t>&)>& reproduce,
                 unsigned extra, std::uint64_t seed, const std::optional<std::vector<std::uint64_t>>& only,
                 std::size_t everyPointUpTo)
{
    Coverage coverage;
    if (only) {
        const Played played = play(*only);
        coverage.replays = 1;
        coverage.failures = played.failed;
        if (played.failed) std::printf("reproduce: %s\n", reproduce(*only).c_str());
        return coverage;
    }
    const Played counted = play({});
    if (counted.failed) {
        ++coverage.failures;
        std::printf("reproduce: %s\n", reproduce({}).c_str());
    }
    std::map<std::uint64_t, std::uint64_t> placeOf;  // by point
    std::set<std::uint64_t> places, landedPlaces;
    for (const SpanPoint& p : counted.span) {
        placeOf[p.point] = p.place;
        places.insert(p.place);
    }
    coverage.spanPoints = counted.span.size();
    coverage.placesPassed = places.size();
    for (std::uint64_t point : choosePoints(counted.span, extra, seed, everyPointUpTo)) {
        const Played played = play({point});
        ++coverage.replays;
        if (played.landed > 0) {
            landedPlaces.insert(placeOf[point]);
            ++coverage.pointsLanded;
        }
        if (!played.failed) continue;
        if (++coverage.failures <= kMaxFailuresShown) std::printf("reproduce: %s\n", reproduce({point}).c_str());
    }
    coverage.placesLanded = landedPlaces.size();
    std::fflush(stdout);
    return coverage;
}

Coverage exploreTwoLandings(const Play& play,
                            const std::function<std::string(const std::vector<std::uint64_t>&)>& reproduce,
                            unsigned landings, unsigned within, std::uint64_t seed)
{
    Coverage coverage;
    const Played counted = play({});
    if (counted.failed) {
        ++coverage.failures;
        std::printf("reproduce: %s\n", reproduce({}).c_str());
    }
    std::set<std::uint64_t> places, landedPlaces;
    std::map<std::uint64_t, std::uint64_t> placeOf;
    for (const SpanPoint& p : counted.span) {
        places.insert(p.place);
        placeOf[p.point] = p.place;
    }
    coverage.spanPoints = counted.span.size();
    coverage.placesPassed = places.size();
    std::vector<std::uint64_t> points = choosePoints(counted.span, 0, seed);
    sim::Random draw(seed);
    for (unsigned i = 0; i < landings && !points.empty(); ++i) {
        const std::uint32_t at = draw.below(static_cast<std::uint32_t>(points.size()));
        const std::vector<std::uint64_t> two{points[at], points[at] + 1 + draw.below(within)};
        points.erase(points.begin() + at);
        const Played played = play(two);
        ++coverage.replays;
        if (played.landed > 0) {
            landedPlaces.insert(placeOf[two[0]]);
            ++coverage.pointsLanded;
        }
        if (played.failed && ++coverage.failures <= kMaxFailuresShown)
            std::printf("reproduce: %s\n", reproduce(two).c_str());
    }
    coverage.placesLanded = landedPlaces.size();
    std::fflush(stdout);
    return coverage;
}

namespace {
std::vector<std::uint64_t> numbers(const std::string& text)
{
    std::vector<std::uint64_t> values;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) values.push_back(std::strtoull(item.c_str(), nullptr, 10));
    return values;
}
}  // namespace

Selection selectionFromEnvironment()
{
    Selection s;
    if (const char* text = std::getenv("CORVANE_LANDING"); text != nullptr && *text != 0) {
        std::string spec = text;
        const std::size_t at = spec.find('@');
        if (at != std::string::npos) {
            s.points = numbers(spec.substr(at + 1));
            spec.erase(at);
        }
        std::stringstream in(spec);
        for (std::string name; std::getline(in, name, ',');) s.names.push_back(name);
    }
    if (const char* text = std::getenv("CORVANE_LANDINGS")) s.all = std::string(text) == "all";
    if (s.all) s.extra = kExtraWhenAll;
    if (const char* text = std::getenv("CORVANE_LANDING_EVERY"); text != nullptr && *text != 0)
        s.everyPointUpTo = std::strtoul(text, nullptr, 10);
    if (const char* text = std::getenv("CORVANE_LANDING_SHARD"); text != nullptr && *text != 0) {
        unsigned i = 0, n = 1;
        if (std::sscanf(text, "%u/%u", &i, &n) == 2 && n > 0 && i < n) s.shard = i, s.shards = n;
    }
    if (const char* text = std::getenv("CORVANE_LANDING_EXTRA"); text != nullptr && *text != 0)
        s.extra = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    return s;
}

void printCoverage(const std::string& name, const Coverage& c)
{
    std::printf("landings %-40s places landed %zu/%zu, points landed %zu/%zu, %zu replays, %zu failing\n", name.c_str(),
                c.placesLanded, c.placesPassed, c.pointsLanded, c.spanPoints, c.replays, c.failures);
    std::fflush(stdout);
}

}  // namespace landing

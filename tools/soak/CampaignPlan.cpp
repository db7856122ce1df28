#include "tools/soak/CampaignPlan.h"

#include "tools/Options.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <fstream>
#include <stdexcept>
#include <unordered_set>

namespace corvane::soak {

namespace {

std::uint64_t number(std::string_view text, const std::string& whole)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        throw std::invalid_argument("--seeds needs seeds such as 1-200 or 1,5,9-12, not \"" + whole + "\"");
    return value;
}

}  // namespace

std::vector<std::uint64_t> parseSeedList(const std::string& text)
{
    std::vector<std::uint64_t> seeds;
    std::unordered_set<std::uint64_t> seen;
    std::string_view rest = text;
    if (rest.empty()) number(rest, text);  // throws
    while (!rest.empty() || seeds.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        const std::size_t dash = item.find('-');
        const std::uint64_t first = number(item.substr(0, dash), text);
        const std::uint64_t last = dash == std::string_view::npos ? first : number(item.substr(dash + 1), text);
        if (last < first) throw std::invalid_argument("--seeds: the range " + std::string(item) + " runs backwards");
        if (last - first >= kMaxCampaignSeeds - seeds.size())
            throw std::invalid_argument("--seeds: more than 10000000 seeds in one campaign");
        for (std::uint64_t seed = first;; ++seed) {
            if (seen.insert(seed).second) seeds.push_back(seed);
            if (seed == last) break;
        }
        if (comma != std::string_view::npos && rest.empty()) number(rest, text);  // a trailing comma
    }
    return seeds;
}

Shard parseShard(const std::string& text)
{
    const std::size_t slash = text.find('/');
    unsigned part = 0, parts = 0;
    const char* end = text.data() + text.size();
    const auto one = std::from_chars(text.data(), text.data() + std::min(slash, text.size()), part);
    const bool ok = slash != std::string::npos && one.ec == std::errc{} && one.ptr == text.data() + slash &&
                    std::from_chars(text.data() + slash + 1, end, parts).ptr == end && slash + 1 < text.size() &&
                    part >= 1 && part <= parts;
    if (!ok) throw std::invalid_argument("--shard needs K/N with 1 <= K <= N, such as 2/8, not \"" + text + "\"");
    return {part, parts};
}

std::vector<std::uint64_t> shardSeeds(const std::vector<std::uint64_t>& seeds, Shard shard)
{
    std::vector<std::uint64_t> part;
    for (std::size_t i = shard.part - 1; i < seeds.size(); i += shard.parts) part.push_back(seeds[i]);
    return part;
}

std::string resultLine(const SeedResult& r)
{
    // Milliseconds are all a campaign's figures need.
    const auto ms = [](double seconds) { return std::round(seconds * 1000) / 1000; };
    nlohmann::ordered_json line{{"seed", r.seed},
                                {"schedule", r.schedule},
                                {"band", r.band},
                                {"hours", r.hours},
                                {"ran", r.ran},
                                {"outcome", r.outcome},
                                {"failure", r.failure},
                                {"wall", ms(r.wallSeconds)},
                                {"cpu", ms(r.cpuSeconds)},
                                {"guard_taken", r.busGuardTaken},
                                {"skipped_reads", r.skippedReads},
                                {"reproduce", r.reproduce}};
    return line.dump();
}

std::optional<SeedResult> parseResultLine(const std::string& text)
{
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) return std::nullopt;
    try {
        SeedResult r;
        r.seed = line.at("seed").get<std::uint64_t>();
        r.schedule = line.at("schedule").get<std::string>();
        r.band = line.at("band").get<std::string>();
        r.hours = line.at("hours").get<double>();
        r.ran = line.at("ran").get<double>();
        r.outcome = line.at("outcome").get<std::string>();
        r.failure = line.at("failure").get<std::string>();
        r.wallSeconds = line.at("wall").get<double>();
        r.cpuSeconds = line.at("cpu").get<double>();
        r.reproduce = line.at("reproduce").get<std::string>();
        // Results files written before these counts were kept lack them.
        r.busGuardTaken = line.value("guard_taken", std::uint64_t{0});
        r.skippedReads = line.value("skipped_reads", std::uint64_t{0});
        return r;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::vector<SeedResult> readResults(const std::string& path)
{
    std::vector<SeedResult> results;
    std::ifstream file(path, std::ios::binary);
    std::size_t number = 0;
    for (std::string line; std::getline(file, line);) {
        ++number;
        if (auto result = parseResultLine(line)) {
            results.push_back(std::move(*result));
            continue;
        }
        // A campaign killed while it wrote a result leaves its start behind,
        // and the next campaign begins a new line after it.
        const bool cut = line.starts_with("{\"seed\":") && !line.ends_with("}");
        if (cut || line.empty()) continue;
        std::string shown = line.substr(0, 40);
        if (line.size() > 40) shown += "...";
        throw std::invalid_argument(path + ":" + std::to_string(number) + ": not a line of a results file: \"" +
                                    escapedText(shown) + "\"");
    }
    return results;
}

}  // namespace corvane::soak

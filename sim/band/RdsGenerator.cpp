#include "sim/band/RdsGenerator.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <utility>

namespace sim {

namespace {

constexpr Micros kSecond = 1'000'000;
constexpr Micros kMinute = 60 * kSecond;

// Ten groups: four names, three radiotexts, two TMC slots, one extra.
using Slot = std::uint8_t;
constexpr Slot kName = 0, kText = 1, kTmc = 2, kExtra = 3;
constexpr std::array<Slot, 10> kFrame = {kName, kText, kName, kTmc, kName, kText, kName, kTmc, kText, kExtra};

struct CivilTime {
    std::uint32_t mjd;
    unsigned day, hour, minute;
};

CivilTime civilTime(std::int64_t utcSeconds)
{
    using namespace std::chrono;
    const sys_seconds at{seconds{utcSeconds}};
    const sys_days date = floor<days>(at);
    const year_month_day ymd{date};
    const hh_mm_ss time{at - date};
    return {rds::modifiedJulianDay(int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day())), unsigned(ymd.day()),
            static_cast<unsigned>(time.hours().count()), static_cast<unsigned>(time.minutes().count())};
}

}  // namespace

std::vector<rds::TmcMessage> defaultTmcMessages()
{
    // event, location, negative direction, extent, diversion, duration
    // Laid out by hand: each comment stays on the entry it describes.
    // clang-format off
    return {
        {101, 12690, false, 2, false, 1},  // stationary traffic over three locations
        {108, 12712, true, 1, false, 1},
        {201, 10433, false, 0, true, 2},   // accident, diversion advised
        {401, 11020, true, 0, true, 3},    // closed
        {701, 12844, false, 3, false, 7},  // roadworks, long lasting
        {115, 10512, false, 1, false, 0},
        {701, 13107, true, 0, false, 6},
    };
    // clang-format on
}

RdsGenerator::RdsGenerator(GeneratorSettings settings, std::uint64_t seed)
    : settings_(std::move(settings)), random_(seed)
{
    programme_ = {settings_.pi, settings_.tp, settings_.pty};
    name8_ = rds::paddedName(settings_.name);
    afPairs_ = rds::afPairs(settings_.alternativeFrequencies);
    if (settings_.tmcCycle == 0) settings_.tmcCycle = kSecond;
    buildNameGroups();
    buildTextGroups();
}

void RdsGenerator::buildNameGroups()
{
    for (unsigned segment = 0; segment < 4; ++segment) {
        nameGroups_[segment] = rds::nameGroup(programme_, name8_, segment, 0, false, false);
        nameGroups_[4 + segment] = rds::nameGroup(programme_, name8_, segment, 0, false, true);
    }
}

void RdsGenerator::buildTextGroups()
{
    textSegments_ = rds::radiotextSegments(settings_.radiotext);
    for (unsigned segment = 0; segment < textSegments_; ++segment)
        textGroups_[segment] = rds::radiotextGroup(programme_, settings_.radiotext, segment, abFlag_);
}

void RdsGenerator::setTmc(bool on)
{
    settings_.tmc = on;
    if (!on) copiesLeft_ = 0;
}

void RdsGenerator::setName(const std::string& name)
{
    settings_.name = name;
    name8_ = rds::paddedName(name);
    buildNameGroups();
}

void RdsGenerator::setRadiotext(const std::string& text)
{
    if (text == settings_.radiotext) return;
    settings_.radiotext = text;
    abFlag_ = !abFlag_;  // tells receivers to clear what they have collected
    textSegment_ = 0;
    buildTextGroups();
}

RdsGroup RdsGenerator::produce(std::uint64_t airSlot)
{
    ++sent_;
    const Micros now = slotStart(airSlot);
    RdsGroup group;
    if (clockDue(now, group)) return group;  // the clock takes a group of its own; the frame waits

    const Slot slot = kFrame[slot_];
    slot_ = (slot_ + 1) % kFrame.size();
    switch (slot) {
    case kName:
        return nextName();
    case kTmc:
        return tmcDue(now, group) ? group : nextText();
    case kExtra: {
        const bool announce = extraAnnounces_;
        extraAnnounces_ = !extraAnnounces_;
        if (!announce) return programmeItem(now);
        return settings_.tmc ? rds::tmcAnnouncementGroup(programme_, settings_.ltn) : nextText();
    }
    default:
        return nextText();
    }
}

RdsGroup RdsGenerator::nextName()
{
    const std::uint16_t af = afPairs_[afIndex_];
    afIndex_ = (afIndex_ + 1) % afPairs_.size();
    RdsGroup group = nameGroups_[(settings_.stereo ? 4 : 0) + nameSegment_];
    group.blocks[2] = af;
    nameSegment_ = (nameSegment_ + 1) % 4;
    return group;
}

RdsGroup RdsGenerator::nextText()
{
    if (settings_.radiotext.empty()) return nextName();
    if (textSegment_ >= textSegments_) textSegment_ = 0;
    const RdsGroup group = textGroups_[textSegment_];
    textSegment_ = (textSegment_ + 1) % textSegments_;
    return group;
}

bool RdsGenerator::tmcDue(Micros now, RdsGroup& group)
{
    const auto& messages = settings_.tmcMessages;
    if (!settings_.tmc || messages.empty()) return false;
    if (copiesLeft_ == 0) {
        const Micros window = std::max<Micros>(1, settings_.tmcCycle / messages.size());
        const auto current = static_cast<std::int64_t>(now / window);
        if (current == lastTmcWindow_) return false;  // this window's message has gone out already
        lastTmcWindow_ = current;
        burstMessage_ = static_cast<std::size_t>(current) % messages.size();
        copiesLeft_ = 2 + random_.below(2);
    }
    --copiesLeft_;
    group = rds::tmcMessageGroup(programme_, messages[burstMessage_]);
    return true;
}

bool RdsGenerator::clockDue(Micros now, RdsGroup& group)
{
    const Micros sinceEpoch = static_cast<Micros>(settings_.clockStart) * kSecond + now;
    const auto minute = static_cast<std::int64_t>(sinceEpoch / kMinute);
    if (minute == lastClockMinute_ || sinceEpoch % kMinute >= kGroupPeriod) return false;
    lastClockMinute_ = minute;
    const CivilTime t = civilTime(minute * 60);
    group = rds::clockGroup(programme_, t.mjd, t.hour, t.minute, settings_.localOffsetHalfHours);
    return true;
}

RdsGroup RdsGenerator::programmeItem(Micros now) const
{
    // The programme that began at the top of the local hour.
    const std::int64_t local = settings_.clockStart + static_cast<std::int64_t>(now / kSecond) +
                               std::int64_t{settings_.localOffsetHalfHours} * 1800;
    const CivilTime t = civilTime(local);
    return rds::programmeItemGroup(programme_, settings_.ecc, t.day, t.hour, 0);
}

}  // namespace sim

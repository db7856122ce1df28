#include "tools/soak/SoakChecks.h"

#include <cstdio>

namespace corvane::soak {

namespace {

// The address of every sentence the driver sends.
constexpr std::string_view kAddresses[] = {"$PLTV",  "$PLTTQ", "$PLTCH",  "$PLTTR", "$PLTTM",
                                           "$PLTMT", "$PLTFD", "$PLTTS",  "$PLTCF", "$PXRQF",
                                           "$PXRAF", "$PXRFW", "$PXRSNR", "$GPDBG", "$GPBLER"};

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // the driver writes lowercase only
}

std::string seconds(sim::Micros t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(t) / 1e6);
    return text;
}

// The printable form of a line for a failure message.
std::string shown(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out;
}

}  // namespace

bool wholeSentence(std::string_view line)
{
    if (line.size() < 4 || line[0] != '$') return false;
    const std::size_t star = line.size() - 3;
    if (line[star] != '*') return false;
    const int high = hexDigit(line[star + 1]);
    const int low = hexDigit(line[star + 2]);
    if (high < 0 || low < 0) return false;
    // One pass over the text between '$' and '*': no second '$' or '*', the
    // address up to the first comma, the checksum of it all.
    std::size_t comma = star;
    unsigned sum = 0;
    for (std::size_t i = 1; i < star; ++i) {
        const char c = line[i];
        if (c == '$' || c == '*') return false;
        if (c == ',' && comma == star) comma = i;
        sum ^= static_cast<unsigned char>(c);
    }
    if (sum != unsigned(high * 16 + low)) return false;
    const std::string_view address = line.substr(0, comma);
    for (std::string_view a : kAddresses)
        if (a == address) return true;
    return false;
}

std::string LineChecker::feed(std::string_view bytes, sim::Micros now, bool dropped)
{
    partial_.append(bytes);
    // An overrun that cut between CR and LF leaves a lone LF in front.
    if (cutAllowed_ && !partial_.empty() && partial_[0] == '\n') {
        partial_.erase(0, 1);
        ++cut_;
        cutAllowed_ = false;
    }
    std::size_t start = 0;
    std::string failure;
    for (std::size_t end; (end = partial_.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string_view line(partial_.data() + start, end - start);
        ++lines_;
        const bool cutFront = cutAllowed_ && line.find('$') == std::string_view::npos;
        cutAllowed_ = false;
        if (cutFront) {
            ++cut_;
        } else if (!wholeSentence(line)) {
            if (dropped)
                ++cut_;
            else if (failure.empty())
                failure = "line read at " + seconds(now) + " is torn or damaged: \"" + shown(line) + "\"";
        }
        // The slots of lines taken before keep their storage for the next ones.
        if (held_ == complete_.size()) complete_.emplace_back();
        Line& kept = complete_[held_++];
        kept.time = now;
        kept.text.assign(line);
    }
    partial_.erase(0, start);
    if (dropped && partial_.find('$', 1) != std::string::npos) partial_.erase(0, partial_.find('$', 1));
    // No sentence is longer than 64 bytes: a longer rest without a line end
    // holds bytes of two sentences.
    if (failure.empty() && partial_.size() > 64)
        failure = "no line end within 64 bytes read at " + seconds(now) + ": \"" + shown(partial_) + "\"";
    return failure;
}

void LineChecker::readingGap()
{
    cutAllowed_ = true;
    if (!partial_.empty()) {
        partial_.clear();
        ++cut_;
    }
}

void LineChecker::ringReset()
{
    // A power-up empties the ring between two whole lines; what the
    // application holds of a line stays a fragment for good.
    partial_.clear();
}

std::span<const LineChecker::Line> LineChecker::takeLines()
{
    const std::span<const Line> lines(complete_.data(), held_);
    held_ = 0;
    return lines;
}

Message classify(std::string_view text)
{
    constexpr std::string_view kPrefix = "ERROR: Corvane line ";
    if (text.substr(0, kPrefix.size()) == kPrefix) {
        const std::string_view rest = text.substr(kPrefix.size());
        if (rest == "1631: " || rest == "1709: ") return Message::TransferFailed;
        if (rest == "1607: " || rest == "1647: ") return Message::BusClosed;
        if (rest == "1734: ") return Message::BusAlreadyClosed;
        return Message::Unknown;
    }
    if (text == "TMC Error:I2C write failed\r\n" || text == "TMC Error:I2C read failed\r\n")
        return Message::TransferFailed;
    if (text == "TMC Error: pI2CHandle is NULL\r\n") return Message::BusClosed;
    if (text == "TMC Error: pI2CHandle== NULL\r\n") return Message::BusAlreadyClosed;
    if (text == "PIO_init: I2C_Open failed\r\n") return Message::BusOpenFailed;
    if (text.starts_with("Corvane: IOCTL_POWER_SET to D")) return Message::PowerRequest;
    return Message::Unknown;
}

bool explains(Cause cause, Message message)
{
    switch (message) {
    case Message::TransferFailed:
        // A transfer fails when the bus fails it, when the chip does not
        // answer (hung, or held in reset while the driver is powered down),
        // when the chip restarted while the transfer was on the wire.
        return cause == Cause::Bus || cause == Cause::Hang || cause == Cause::Power || cause == Cause::ChipInReset ||
               cause == Cause::BusHeld || cause == Cause::SupplyDip;
    case Message::BusClosed:
    case Message::BusAlreadyClosed:
    case Message::BusOpenFailed:  // only a power-up opens the bus with faults armed
        return cause == Cause::Power;
    case Message::PowerRequest:
        return cause == Cause::PowerRequest;
    case Message::Unknown:
        return false;
    }
    return false;
}

void DebugChecker::begin(Cause cause, sim::Micros now)
{
    Window& w = windows_[unsigned(cause)];
    if (w.open) return;
    w.open = true;
    w.from = now;
}

void DebugChecker::end(Cause cause, sim::Micros now, sim::Micros grace)
{
    Window& w = windows_[unsigned(cause)];
    if (!w.open) return;
    w.open = false;
    w.past.emplace_back(w.from, now + grace);
}

bool DebugChecker::explained(Cause cause, sim::Micros time) const
{
    const Window& w = windows_[unsigned(cause)];
    if (w.open && time >= w.from) return true;
    for (const auto& [from, until] : w.past)
        if (time >= from && time <= until) return true;
    return false;
}

std::string DebugChecker::check(const std::vector<sim::DebugLine>& log, std::size_t& next)
{
    std::string failure;
    for (; next < log.size(); ++next) {
        const sim::DebugLine& line = log[next];
        ++checked_;
        const Message message = classify(line.text);
        bool ok = false;
        for (unsigned c = 0; c < unsigned(Cause::Count) && !ok; ++c)
            ok = explains(Cause(c), message) && explained(Cause(c), line.time);
        if (!ok && failure.empty())
            failure =
                "debug message at " + seconds(line.time) + " that no fault explains: \"" + shown(line.text) + "\"";
    }
    // Windows that closed long ago explain nothing any more.
    const sim::Micros horizon = log.empty() ? 0 : log.back().time;
    for (Window& w : windows_)
        while (!w.past.empty() && w.past.front().second + 600'000'000 < horizon) w.past.erase(w.past.begin());
    return failure;
}

std::string InterruptLiveness::sample(sim::Micros now, bool usable, std::uint64_t pulses, std::uint64_t delivered)
{
    if (!usable) {
        open_ = false;
        return {};
    }
    if (!open_ || delivered != delivered_) {
        open_ = true;
        from_ = now;
        pulses_ = pulses;
        delivered_ = delivered;
        return {};
    }
    if (now - from_ < kWindow) return {};
    const std::uint64_t missed = pulses - pulses_;
    open_ = false;
    if (missed < 3) return {};
    return "the chip pulsed its interrupt line " + std::to_string(missed) + " times from " + seconds(from_) + " to " +
           seconds(now) + " and the driver took none: the interrupt stays masked";
}

std::string GroupAccounting::sample(sim::Micros now, std::uint8_t decodedCount, bool debugOn, std::uint64_t groupReads)
{
    if (off_ || debugOn) {
        off_ = true;
        return {};
    }
    decoded_ += std::uint8_t(decodedCount - last_);
    last_ = decodedCount;
    if (decoded_ <= groupReads) return {};
    return "by " + seconds(now) + " the driver decoded " + std::to_string(decoded_) + " groups, the chip handed out " +
           std::to_string(groupReads) + ": a group was taken twice, or from an interrupt without one";
}

}  // namespace corvane::soak

#include "tools/LineOutput.h"

#include <cerrno>

namespace corvane {

namespace {
// Seconds with milliseconds, as every time stamp is written; its length.
int writeVirtualSeconds(char (&text)[32], sim::Micros time)
{
    return std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(time / 1'000'000),
                         static_cast<unsigned long long>(time / 1000 % 1000));
}
}  // namespace

std::string virtualSeconds(sim::Micros time)
{
    char text[32];
    return std::string(text, static_cast<std::size_t>(writeVirtualSeconds(text, time)));
}

LineOutput::LineOutput(std::FILE* out, bool timestamps, bool decode, bool print)
    : out_(out), timestamps_(timestamps), decode_(decode), print_(print)
{}

void LineOutput::feedLines(std::string_view bytes, sim::Micros now)
{
    pending_.append(bytes);
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find("\r\n", start)) != std::string::npos; start = end + 2)
        printLine(std::string_view(pending_).substr(start, end - start), now);
    pending_.erase(0, start);
}

void LineOutput::printLine(std::string_view line, sim::Micros now)
{
    if (onLine) onLine(line);
    if (!print_) {
        ++lines_;
        return;
    }
    // The stamp, then the line as fprintf's "%s%.*s\n" would write it (up to
    // a NUL byte, should it hold one), in one write.
    written_.clear();
    if (timestamps_) {
        char stamp[32];
        written_.append(stamp, static_cast<std::size_t>(writeVirtualSeconds(stamp, now)));
        written_ += ' ';
    }
    const std::size_t prefixSize = written_.size();
    written_.append(line.substr(0, line.find('\0')));
    written_ += '\n';
    int written = std::fwrite(written_.data(), 1, written_.size(), out_) == written_.size() ? 0 : -1;
    ++lines_;
    if (decode_) {
        const std::string rendering = view_.render(line);
        if (!rendering.empty() && written >= 0)
            written = std::fprintf(out_, "%*s  = %s\n", static_cast<int>(prefixSize), "", rendering.c_str());
    }
    if (written < 0 && writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
}

void DebugOutput::add(const sim::DebugLine& line)
{
    if (pending_.empty()) pendingTime_ = line.time;
    pending_ += line.text;
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view text = std::string_view(pending_).substr(start, end - start);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        std::fprintf(out_, "%s [thread %u] %.*s\n", virtualSeconds(pendingTime_).c_str(),
                     static_cast<unsigned>(line.threadId), static_cast<int>(text.size()), text.data());
    }
    pending_.erase(0, start);
    if (!pending_.empty() && start != 0) pendingTime_ = line.time;
    std::fflush(out_);
}

}  // namespace corvane

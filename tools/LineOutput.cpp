#include "tools/LineOutput.h"

#include <cerrno>

namespace corvane {

std::string virtualSeconds(sim::Micros time)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu", static_cast<unsigned long long>(time / 1'000'000),
                  static_cast<unsigned long long>(time / 1000 % 1000));
    return text;
}

LineOutput::LineOutput(std::FILE* out, bool timestamps, bool decode, bool print)
    : out_(out), timestamps_(timestamps), decode_(decode), print_(print)
{}

void LineOutput::feed(std::string_view bytes, sim::Micros now)
{
    if (bytes.empty()) return;
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
    std::string prefix;
    if (timestamps_) prefix = virtualSeconds(now) + " ";
    // Written as fprintf's "%s%.*s\n" would (the line up to a NUL byte, should
    // it hold one), without parsing a format for every line.
    const std::string_view text = line.substr(0, line.find('\0'));
    int written = std::fwrite(prefix.data(), 1, prefix.size(), out_) == prefix.size() &&
                          std::fwrite(text.data(), 1, text.size(), out_) == text.size() && std::fputc('\n', out_) != EOF
                      ? 0
                      : -1;
    ++lines_;
    if (decode_) {
        const std::string rendering = view_.render(line);
        if (!rendering.empty() && written >= 0)
            written = std::fprintf(out_, "%*s  = %s\n", static_cast<int>(prefix.size()), "", rendering.c_str());
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

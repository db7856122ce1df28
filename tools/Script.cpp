#include "tools/Script.h"

#include "sim/band/InputFile.h"

#include "tools/Options.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace corvane {

namespace {

constexpr std::uint64_t kMaxScriptSeconds = 30ull * 24 * 3600;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The next blank-separated word of `rest`, taken off it.
std::string_view takeWord(std::string_view& rest)
{
    rest = trim(rest);
    std::size_t end = 0;
    while (end < rest.size() && !isBlank(rest[end])) ++end;
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    rest = trim(rest);
    return word;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

ScriptAction parseLine(std::string_view text, std::size_t line)
{
    ScriptAction action;
    action.line = line;
    std::string_view rest = text;
    const std::string time(takeWord(rest));
    const auto at = parseSeconds(time, kMaxScriptSeconds);
    if (!at) throw std::invalid_argument("\"" + time + "\" is not a time in seconds (up to 3 decimals)");
    action.atMs = *at;

    const std::string verb(takeWord(rest));
    if (verb.empty()) throw std::invalid_argument("an action is missing after the time");
    if (verb == "write" || verb == "command") {
        bool lineEnd = true;
        action.bytes = unescapeText(rest, lineEnd);
        if (verb == "write") {
            action.kind = ActionKind::Write;
            if (lineEnd) action.bytes += "\r\n";
        } else {
            action.kind = ActionKind::Command;
            if (!lineEnd) throw std::invalid_argument("a command text cannot end in \\");
            if (action.bytes.empty()) throw std::invalid_argument("command needs a text, such as $PLTCM,H2,9470");
        }
        return action;
    }
    if (verb == "power") {
        const std::string state(takeWord(rest));
        if (state.size() != 2 || (state[0] != 'D' && state[0] != 'd') || state[1] < '0' || state[1] > '4')
            throw std::invalid_argument("power needs a state D0 to D4, not \"" + state + "\"");
        action.kind = ActionKind::Power;
        action.powerState = static_cast<unsigned>(state[1] - '0');
    } else if (verb == "recover") {
        action.kind = ActionKind::Recover;
    } else if (verb == "suspend") {
        action.kind = ActionKind::Suspend;
    } else if (verb == "resume") {
        action.kind = ActionKind::Resume;
    } else if (verb == "powerdown") {
        action.kind = ActionKind::PowerDown;
    } else if (verb == "powerup") {
        action.kind = ActionKind::PowerUp;
    } else {
        throw std::invalid_argument("unknown action \"" + verb +
                                    "\" (write, command, recover, suspend, resume, power, powerdown, powerup)");
    }
    if (!rest.empty()) throw std::invalid_argument(verb + " takes nothing more, not \"" + std::string(rest) + "\"");
    return action;
}

}  // namespace

std::string unescapeText(std::string_view text, bool& lineEnd)
{
    std::string bytes;
    lineEnd = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (i + 1 == text.size()) {
            lineEnd = false;  // a final backslash: no CR LF
            break;
        }
        const char kind = text[++i];
        if (kind == 'r') {
            bytes += '\r';
        } else if (kind == 'n') {
            bytes += '\n';
        } else if (kind == '\\') {
            bytes += '\\';
        } else if (kind == 'x') {
            const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) throw std::invalid_argument("\\x needs two hexadecimal digits");
            bytes += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            throw std::invalid_argument(std::string("unknown escape \\") + kind + " (\\r \\n \\\\ \\xHH)");
        }
    }
    return bytes;
}

Script parseScript(std::string_view text, std::string_view name)
{
    Script script;
    script.name = name;
    std::size_t line = 0;
    while (!text.empty()) {
        ++line;
        const std::size_t end = text.find('\n');
        std::string_view content = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        content = trim(content.substr(0, content.find('#')));
        if (content.empty()) continue;
        try {
            script.actions.push_back(parseLine(content, line));
        } catch (const std::invalid_argument& error) {
            throw ScriptError(script.name + ":" + std::to_string(line) + ": " + error.what());
        }
    }
    std::stable_sort(script.actions.begin(), script.actions.end(),
                     [](const ScriptAction& a, const ScriptAction& b) { return a.atMs < b.atMs; });
    return script;
}

Script readScript(const std::filesystem::path& path)
{
    std::string text;
    try {
        text = sim::band::readInputFile(path, "script file", sim::band::kMaxBandFileBytes);
    } catch (const sim::band::InputFileError& error) {
        throw ScriptError(error.what());
    }
    return parseScript(text, path.string());
}

}  // namespace corvane

// Scripts of timed actions for corvane run: what the application, the power
// manager and the system do to the driver, and when. One action a line:
//
//     <seconds> write <text>      COM_Write of the text and CR LF
//     <seconds> command <text>    the private command request with the text
//     <seconds> recover | suspend | resume | powerdown | powerup
//     <seconds> power D0..D4      the power manager's set request
//
// Seconds are virtual time from the start of the run, with up to three
// decimals. A "#" starts a comment (write \x23 for the character itself).
// Texts take the escapes \r \n \\ \xHH; a write text that ends in a single
// "\" is sent without CR LF. Every mistake is a ScriptError naming the file
// and the line, found when the script is read, before anything runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ActionKind { Write, Command, Recover, Suspend, Resume, Power, PowerDown, PowerUp };

struct ScriptAction {
    std::uint64_t atMs = 0;  // virtual time from the start of the run
    ActionKind kind = ActionKind::Recover;
    std::string bytes;        // Write: the bytes to send (CR LF included); Command: the text
    unsigned powerState = 0;  // Power: 0..4 for D0..D4
    std::size_t line = 0;     // in the script, from 1
};

struct Script {
    std::string name;
    std::vector<ScriptAction> actions;  // in time order; same time: script order
};

// Parses the text of a script; `name` names it in messages ("name:line: ...").
Script parseScript(std::string_view text, std::string_view name);

// Reads and parses a script file.
Script readScript(const std::filesystem::path& path);

// Resolves the escapes of a text. `lineEnd` is set to false when the text
// ends in a single backslash (which is then dropped). Throws std::invalid_argument
// with what is wrong.
std::string unescapeText(std::string_view text, bool& lineEnd);

}  // namespace corvane

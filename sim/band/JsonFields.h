// Typed reading of a JSON document with messages that say where and what is
// wrong: every value is reached through a Field that knows its path in the
// document ("stations[2].rds.pi"), and every check that fails throws
// JsonFieldError with "file: path: what is wrong".
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace sim::band {

class JsonFieldError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a value looks in a message: `a string "abc"`, `the number 94.7`, `an array`.
std::string describeJson(const nlohmann::json& value);

class Field {
public:
    Field(const nlohmann::json& value, std::string path, const std::string& file);

    const nlohmann::json& json() const { return value_; }
    const std::string& path() const { return path_; }

    [[noreturn]] void fail(const std::string& what) const;

    // An object whose keys are all among `known`; otherwise names the first
    // unknown key and lists the known ones.
    void expectObject(std::initializer_list<std::string_view> known) const;
    // The member `key` of an object, if present.
    std::optional<Field> member(std::string_view key) const;
    // A member that must be present.
    Field required(std::string_view key, std::string_view meaning) const;

    std::size_t arraySize() const;  // fails unless an array
    Field element(std::size_t index) const;

    std::int64_t integer(std::int64_t min, std::int64_t max) const;
    double number(double min, double max) const;
    bool boolean() const;
    std::string string(std::size_t maxLength) const;
    // A string of printable ASCII characters, at most maxLength of them.
    std::string text(std::size_t maxLength) const;

private:
    const nlohmann::json& value_;
    std::string path_;
    const std::string& file_;
};

}  // namespace sim::band

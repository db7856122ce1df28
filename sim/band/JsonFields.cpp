#include "sim/band/JsonFields.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace sim::band {

namespace {

std::string inQuotes(std::string_view text)
{
    std::string shown(text.substr(0, 32));
    if (text.size() > 32) shown += "...";
    return "\"" + shown + "\"";
}

std::string kind(const nlohmann::json& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::object:
        return "an object";
    case nlohmann::json::value_t::array:
        return "an array";
    case nlohmann::json::value_t::string:
        return "a string";
    case nlohmann::json::value_t::boolean:
        return "a boolean";
    case nlohmann::json::value_t::null:
        return "null";
    default:
        return "a number";
    }
}

std::string shownNumber(double value)
{
    if (std::floor(value) == value && std::fabs(value) < 1e15) return std::to_string(static_cast<std::int64_t>(value));
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

std::string describeJson(const nlohmann::json& value)
{
    if (value.is_string()) return "the string " + inQuotes(value.get_ref<const std::string&>());
    if (value.is_number() || value.is_boolean()) return (value.is_number() ? "the number " : "") + value.dump();
    return kind(value);
}

Field::Field(const nlohmann::json& value, std::string path, const std::string& file)
    : value_(value), path_(std::move(path)), file_(file)
{}

void Field::fail(const std::string& what) const
{
    throw JsonFieldError(file_ + ": " + (path_.empty() ? std::string("top level") : path_) + ": " + what);
}

void Field::expectObject(std::initializer_list<std::string_view> known) const
{
    if (!value_.is_object()) fail("expected an object, found " + describeJson(value_));
    for (const auto& [key, value] : value_.items()) {
        if (std::find(known.begin(), known.end(), key) != known.end()) continue;
        std::string list;
        for (std::string_view k : known) list += (list.empty() ? "" : ", ") + std::string(k);
        fail("unknown key " + inQuotes(key) + " (known keys: " + list + ")");
    }
}

std::optional<Field> Field::member(std::string_view key) const
{
    const auto it = value_.find(key);
    if (it == value_.end()) return std::nullopt;
    return Field(*it, path_.empty() ? std::string(key) : path_ + "." + std::string(key), file_);
}

Field Field::required(std::string_view key, std::string_view meaning) const
{
    if (auto field = member(key)) return *field;
    fail("the key " + inQuotes(key) + " is missing (" + std::string(meaning) + ")");
}

std::size_t Field::arraySize() const
{
    if (!value_.is_array()) fail("expected an array, found " + describeJson(value_));
    return value_.size();
}

Field Field::element(std::size_t index) const
{
    return Field(value_.at(index), path_ + "[" + std::to_string(index) + "]", file_);
}

std::int64_t Field::integer(std::int64_t min, std::int64_t max) const
{
    std::int64_t result = 0;
    if (value_.is_number_integer()) {
        if (value_.is_number_unsigned() && value_.get<std::uint64_t>() > std::uint64_t(max))
            fail(value_.dump() + " is out of range (" + std::to_string(min) + ".." + std::to_string(max) + ")");
        result = value_.get<std::int64_t>();
    } else {
        fail("expected a whole number, found " + describeJson(value_));
    }
    if (result < min || result > max)
        fail(std::to_string(result) + " is out of range (" + std::to_string(min) + ".." + std::to_string(max) + ")");
    return result;
}

double Field::number(double min, double max) const
{
    if (!value_.is_number()) fail("expected a number, found " + describeJson(value_));
    const double result = value_.get<double>();
    if (!(result >= min && result <= max))
        fail(value_.dump() + " is out of range (" + shownNumber(min) + ".." + shownNumber(max) + ")");
    return result;
}

bool Field::boolean() const
{
    if (!value_.is_boolean()) fail("expected true or false, found " + describeJson(value_));
    return value_.get<bool>();
}

std::string Field::string(std::size_t maxLength) const
{
    if (!value_.is_string()) fail("expected a string, found " + describeJson(value_));
    const std::string& result = value_.get_ref<const std::string&>();
    if (result.size() > maxLength)
        fail(inQuotes(result) + " is longer than " + std::to_string(maxLength) + " characters");
    return result;
}

std::string Field::text(std::size_t maxLength) const
{
    std::string result = string(maxLength);
    for (char c : result) {
        if (c < 0x20 || c > 0x7E) fail(inQuotes(result) + " holds a character that is not printable ASCII");
    }
    return result;
}

}  // namespace sim::band

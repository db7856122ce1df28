// Parsing a JSON document strictly, for files people write by hand: a key
// given twice in one object is an error (nlohmann would keep the last), and
// every error, a number too large included, names the file, the line and the
// column.
#pragma once

#include "sim/band/JsonFields.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace sim::band {

// Throws JsonFieldError: "file: line L, column C: what is wrong" (or nlohmann's
// own "parse error at line L, column C: ..." for malformed text).
nlohmann::json parseJsonDocument(std::string_view text, const std::string& file);

}  // namespace sim::band

// Reading the numbers of a sentence the driver sent, for the program's views
// of them (the decode view, the replay summary).
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <string_view>

namespace corvane {

// The numbers of "$ADDRESS,n1,...,nN*hh" after `address` ("$PLTTM,"); false
// unless the line starts with it and holds exactly N numbers.
template <std::size_t N>
bool sentenceNumbers(std::string_view line, std::string_view address, std::array<unsigned, N>& values)
{
    if (line.substr(0, address.size()) != address) return false;
    const std::size_t star = line.rfind('*');
    if (star == std::string_view::npos || star < address.size()) return false;
    const char* at = line.data() + address.size();
    const char* end = line.data() + star;
    for (std::size_t i = 0; i < N; ++i) {
        const auto [stop, error] = std::from_chars(at, end, values[i]);
        if (error != std::errc{} || (i + 1 < N ? stop == end || *stop != ',' : stop != end)) return false;
        at = stop + 1;
    }
    return true;
}

}  // namespace corvane

#include "sim/band/JsonDocument.h"

#include <cstddef>
#include <iterator>
#include <vector>

namespace sim::band {

namespace {

using Json = nlohmann::json;

// A text iterator that records how far the parser has read: the parser does
// not tell where a key stands, but it has read just past it when it reports it.
struct TrackingIterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    const char* at;
    const char** furthest;

    reference operator*() const { return *at; }
    TrackingIterator& operator++()
    {
        if (++at > *furthest) *furthest = at;
        return *this;
    }
    TrackingIterator operator++(int)
    {
        TrackingIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const TrackingIterator& other) const { return at == other.at; }
    bool operator!=(const TrackingIterator& other) const { return at != other.at; }
};

// "line 3, column 5" of the byte at `offset` (both counted from 1).
std::string place(std::string_view text, std::size_t offset)
{
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
}

class StrictDomBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
public:
    StrictDomBuilder(Json& document, std::string_view text, const std::string& file, const char* const& furthest)
        : json_sax_dom_parser(document), text_(text), file_(file), furthest_(furthest)
    {}

    bool start_object(std::size_t elements)
    {
        keysOfOpenObjects_.emplace_back();
        return json_sax_dom_parser::start_object(elements);
    }
    bool end_object()
    {
        keysOfOpenObjects_.pop_back();
        return json_sax_dom_parser::end_object();
    }
    bool key(std::string& key)
    {
        auto& keys = keysOfOpenObjects_.back();
        for (const std::string& seen : keys)
            if (seen == key)
                throw JsonFieldError(file_ + ": " + place(text_, keyStart()) + ": the key \"" + key +
                                     "\" appears twice in one object");
        keys.push_back(key);
        return json_sax_dom_parser::key(key);
    }
    template <class Exception>
    bool parse_error(std::size_t position, const std::string&, const Exception& error)
    {
        // "[json.exception.parse_error.101] parse error at line 3, column 5: ...", or
        // "[json.exception.out_of_range.406] number overflow parsing '1e999'" without a place.
        std::string what = error.what();
        const auto start = what.find("] ");
        if (start != std::string::npos) what.erase(0, start + 2);
        if (what.rfind("parse error", 0) != 0) {
            const std::string& token = error.what();
            const auto quote = token.find('\'');
            const std::size_t length = quote == std::string::npos ? 0 : token.size() - quote - 2;
            what = place(text_, position > length ? position - length : 0) + ": " + what;
        }
        throw JsonFieldError(file_ + ": " + what);
    }

private:
    // Where the key just read begins: back from its closing quote to its opening one.
    std::size_t keyStart() const
    {
        std::size_t at = static_cast<std::size_t>(furthest_ - text_.data());
        if (at > 0) --at;  // the closing quote
        while (at > 0 && !(text_[at - 1] == '"' && (at < 2 || text_[at - 2] != '\\'))) --at;
        return at > 0 ? at - 1 : 0;
    }

    std::string_view text_;
    const std::string& file_;
    const char* const& furthest_;
    std::vector<std::vector<std::string>> keysOfOpenObjects_;
};

}  // namespace

Json parseJsonDocument(std::string_view text, const std::string& file)
{
    Json document;
    const char* furthest = text.data();
    StrictDomBuilder builder(document, text, file, furthest);
    const TrackingIterator first{text.data(), &furthest};
    const TrackingIterator last{text.data() + text.size(), &furthest};
    Json::sax_parse(first, last, &builder);
    return document;
}

}  // namespace sim::band

#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace foundation {

// Counts the values of a JSON text as nlohmann's reader meets them, building
// none of them, and stops at the first bound passed: every value at every
// depth counts once (an array or object too), and every element of an array
// once more against the bound of one array. What a caller says of a text
// past a bound is its own; `levels` tells where the count stopped.
class JsonValueCount {
  public:
    enum class Passed { kNothing, kValues, kArrayElements };
    // An array or object open where the count is.
    struct Level {
        bool array = false;
        size_t elements = 0;  // of an array, counted so far
        std::string key;      // of an object, the member being read
    };

    JsonValueCount(size_t mostValues, size_t mostArrayElements)
        : mostValues_(mostValues), mostArrayElements_(mostArrayElements) {}

    // Reads `text` to its end or to the first bound passed. Text that is not
    // JSON passes nothing: it is left to the reader that builds values.
    Passed count(std::string_view text);
    Passed passed() const { return passed_; }
    // The arrays and objects open where the count stopped, outermost first.
    const std::vector<Level>& levels() const { return levels_; }

    // The reader's calls.
    using json = nlohmann::json;
    bool null() { return counted(); }
    bool boolean(bool) { return counted(); }
    bool number_integer(json::number_integer_t) { return counted(); }
    bool number_unsigned(json::number_unsigned_t) { return counted(); }
    bool number_float(json::number_float_t, const json::string_t&) { return counted(); }
    bool string(json::string_t&) { return counted(); }
    bool binary(json::binary_t&) { return counted(); }
    bool start_object(size_t) { return opened(false); }
    bool start_array(size_t) { return opened(true); }
    bool end_object() { return closed(); }
    bool end_array() { return closed(); }
    bool key(json::string_t& name) {
        levels_.back().key = name;
        return true;
    }
    bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

  private:
    bool counted();
    bool opened(bool array);
    bool closed() {
        levels_.pop_back();
        return true;
    }

    size_t mostValues_;
    size_t mostArrayElements_;
    size_t values_ = 0;
    std::vector<Level> levels_;
    Passed passed_ = Passed::kNothing;
};

}  // namespace foundation

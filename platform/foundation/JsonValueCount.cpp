#include "platform/foundation/JsonValueCount.h"

namespace foundation {

JsonValueCount::Passed JsonValueCount::count(std::string_view text) {
    values_ = 0;
    levels_.clear();
    passed_ = Passed::kNothing;
    json::sax_parse(text.begin(), text.end(), this);
    return passed_;
}

// One more value, in the array or object being read.
bool JsonValueCount::counted() {
    if (++values_ > mostValues_) {
        passed_ = Passed::kValues;
        return false;
    }
    if (!levels_.empty() && levels_.back().array && ++levels_.back().elements > mostArrayElements_) {
        passed_ = Passed::kArrayElements;
        return false;
    }
    return true;
}

bool JsonValueCount::opened(bool array) {
    if (!counted()) return false;
    levels_.push_back({array, 0, {}});
    return true;
}

}  // namespace foundation

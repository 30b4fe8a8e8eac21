// What the property-list readers build (XML and binary forms, as every file
// of the data root is read) must be written back by the writer and read back
// as it was: a value the writer refuses freezes its file (every later change
// is refused), and a value that comes back changed is lost at the next write.
// Aborts on either, naming the value, and on a file written otherwise than
// libplist writes it.

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "fuzz/FuzzInput.h"
#include "platform/foundation/PropertyList.h"

namespace {

using foundation::Value;

// Equal as stored: the same kind, reals bit for bit up to the sign of zero
// (the XML form writes "0.0" for both), a real that is not a number as such.
bool roundTripSame(const Value& a, const Value& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case Value::Type::Double: {
            const double x = *a.doubleValue(), y = *b.doubleValue();
            return (std::isnan(x) && std::isnan(y)) || x == y;
        }
        case Value::Type::List: {
            const auto& x = *a.list();
            const auto& y = *b.list();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!roundTripSame(x[i], y[i])) return false;
            return true;
        }
        case Value::Type::Dictionary: {
            const auto& x = *a.dictionary();
            const auto& y = *b.dictionary();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !roundTripSame(i->second, j->second)) return false;
            return true;
        }
        default:
            return a == b;
    }
}

[[noreturn]] void roundTripFailed(const char* what, const Value& value) {
    std::fprintf(stderr, "== a value read %s\n%s\n", what, value.jsonText().c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::optional<Value> read = foundation::parsePropertyList(fuzz::text(data, size));
    if (!read) return 0;
    foundation::PropertyListRefusal refusal;
    std::optional<std::string> xml = foundation::propertyListXml(*read, &refusal);
    if (!xml) {
        std::fprintf(stderr, "== the writer refuses it: %s\n", refusal.why.c_str());
        roundTripFailed("is not written back", *read);
    }
    std::optional<Value> again = foundation::parsePropertyList(*xml);
    if (!again) roundTripFailed("is written back as a file the reader refuses", *read);
    if (!roundTripSame(*read, *again)) {
        std::fprintf(stderr, "== read back as\n%s\n", again->jsonText().c_str());
        roundTripFailed("comes back changed", *read);
    }
    if (foundation::propertyListXml(*again) != xml) roundTripFailed("is written differently the second time", *read);
    // Our writer gives libplist's bytes (compared where libplist's own
    // writer is quick).
    if (xml->size() <= (1 << 20) && foundation::propertyListXmlThroughLibrary(*read) != xml)
        roundTripFailed("is written otherwise than libplist writes it", *read);
    return 0;
}

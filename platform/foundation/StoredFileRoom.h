#pragma once
// The bounds of the data root's files (StoredFileBounds) applied to what
// the readers find and what the writer would write: which entries a file
// past its bound keeps when it is salvaged, and which give way when a change
// would take the file past it.

#include <optional>
#include <string>

#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/Value.h"

namespace foundation {

// The salvage's plan for a file held to `bound`: what stays by the bound's
// order, the first of the user's values that cannot stay whole as its
// leading items in what is left.
PropertyListSalvagePlan storedFileSalvagePlan(const StoredFileBound& bound);

// What gives way for `values` to fit `bound` (and the property-list
// bounds), by the bound's order: under `given`, each value that leaves,
// kept aside before it does, and for a list of the user's that keeps only
// its leading items, the items that leave; under `trimmed`, what such a list
// keeps. Nothing when `changed` itself would give way whole, or nothing
// needs to.
struct StoredFileGivingWay {
    Value::Dictionary given;
    Value::Dictionary trimmed;
};
std::optional<StoredFileGivingWay> storedFileGivingWay(const Value::Dictionary& values, const StoredFileBound& bound,
                                                       const std::string& changed = {});
// `values` with `giving` applied.
void applyGivingWay(Value::Dictionary& values, const StoredFileGivingWay& giving);

}  // namespace foundation

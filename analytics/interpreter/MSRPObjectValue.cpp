#include "analytics/interpreter/MSRPObjectValue.h"

#include "analytics/interpreter/MSRPObjectManager.h"

MSRPObjectValue::~MSRPObjectValue() {
    if (manager_) manager_->removeObject(this);
}

void MSRPObjectValue::markChildren(MSRPMarker& marker) const {
    for (const MSRPPropertyMap::Entry& entry : propertyMap_.entries()) marker.markValue(entry.value);
}

void MSRPObjectValue::sweep() {
    // Released when this goes out of scope, after the map is already empty.
    MSRPPropertyMap::Entries released = propertyMap_.takeEntries();
}

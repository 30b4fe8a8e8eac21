#include "analytics/messages/MSRPBMessageType.h"

#include "analytics/messages/MSRPBFieldTable.h"

const MSRPBMessageType& MSRPBMessageTypeFor(MSRPBMessageID id) {
    return MSRPBFieldTable::kTypes[static_cast<size_t>(id)];
}

#pragma once
// Program entities to runtime values, and host values (event parameters,
// module data) to runtime values and back.

#include "analytics/interpreter/MSRPRuntimeValue.h"
#include "analytics/messages/MSRPBMessageView.h"
#include "analytics/messages/MSRPBMessages.h"
#include "platform/foundation/Value.h"

class MSRPObjectManager;

class MSRPRuntimeEntityConverter {
  public:
    // Literals of type 1 to 3, statements of type 4; error 12 for another
    // type, 14 for a statement without a name. The entity is read in place:
    // nothing of it is copied but its texts, and what is built counts on the
    // account in use and is charged, an instruction an entity, as it is
    // built (a stopped run answers undefined).
    static MSRPValue runtimeValueFromRuntimeEntity(const MSRPBRuntimeEntity& entity, int* error);
    static MSRPValue runtimeValueFromRuntimeEntity(MSRPBMessageView entity, int* error);
    // The entities of the tree `entity` roots, itself included, counted
    // without building any: up to `most` + 1.
    static size_t entityCount(MSRPBMessageView entity, size_t most);

    // Absent and null give null; maps and arrays are tracked by `manager`.
    // Error 13 for bytes and dates, and for nesting beyond kMaxNesting.
    static MSRPValue runtimeValueFromObject(const foundation::Value& object, MSRPObjectManager* manager, int* error);
    // Null gives absent, undefined the empty text; maps and arrays become
    // dictionaries and lists (null members and elements are left out); other
    // values their number when they have one, else their text. A value that
    // contains itself, or nests beyond kMaxNesting, gives error 10.
    static foundation::Value objectFromRuntimeValue(const MSRPValue& value, int* error);
    // About the bytes of what objectFromRuntimeValue would build: a value
    // shared in many places is counted in every place, as the conversion
    // copies it there. Found in time linear in the distinct values (charged
    // as it goes); anything above `limit` answers limit + 1.
    static int64_t expandedBytes(const MSRPValue& value, int64_t limit);

    static constexpr int kMaxNesting = 200;
};

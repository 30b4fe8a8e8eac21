#pragma once

#include <optional>
#include <string_view>

#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/Value.h"

namespace foundation {

// Reads the binary form ("bplist00") in one walk from its top object,
// charging `charge` for every object as often as it is built: an object that
// many references share is a copy at each of them, and each copy is charged
// before it is made. What the walk holds is sized by what it reaches (at
// most one entry per level of nesting), never by the counts the trailer
// claims. The offset table is checked against a walk from the header, which
// decides where they disagree. An entry of a list or dictionary whose key or
// value cannot be read (an object outside the file, a text with a NUL or
// that is not UTF-8, a reference closing a cycle) is left out, and its
// container read on; nesting at the bound is refused, before anything deeper
// is built. Nothing, with `refusal` filled (never null), when refused.
std::optional<Value> readBinaryPropertyList(std::string_view bytes, PropertyListCharge& charge,
                                            PropertyListRefusal* refusal);

// What can still be read of a binary property list whose root is a
// dictionary: each entry is sized first (a walk that builds only its key),
// then those `plan` keeps (every one, in the order of the file, without a
// plan) are built while they fit in `charge`, and of a list value that does
// not read or fit whole, the leading items that fit in `listShare` (and in
// `charge`). Entries not kept give their charge back, but the walks cost
// one budget of work that is never given back (four times the bounds: each
// entry is walked to size it and built once more), and an object refused
// once is not walked again. Empty when the root cannot be read at all.
Value::Dictionary salvageBinaryPropertyListDictionary(std::string_view bytes, PropertyListCharge& charge,
                                                      PropertyListBounds listShare,
                                                      const PropertyListSalvagePlan& plan = {});
// The same for the open file `fd` of `size` bytes, too large to read whole:
// from its trailer and offset table at its end, reading only the objects a
// walk reaches. Empty when a read of it fails.
Value::Dictionary salvageBinaryPropertyListFile(int fd, uint64_t size, PropertyListCharge& charge,
                                                PropertyListBounds listShare,
                                                const PropertyListSalvagePlan& plan = {});

}  // namespace foundation

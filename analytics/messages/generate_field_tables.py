#!/usr/bin/env python3
"""Writes the field tables and the field-index constants of the wire messages
from the .proto files, so the numbers live in one place.

usage: generate_field_tables.py OUTPUT_DIR PROTO...

A field's index is its position in the message's declaration; a field named
extra_<tag> is carried but never read and gets an empty name. A trailing
comment `slot kName` on a field gives code a constant for its index in the
namespace MSR<Message>Slot (a leading "Measurement" and a trailing "Entry"
dropped from the message name).
"""

import pathlib
import re
import sys

MESSAGE = re.compile(r"^\s*message\s+(\w+)\s*\{")
FIELD = re.compile(r"^\s*(optional|repeated)\s+(\w+)\s+(\w+)\s*=\s*(\d+)[^;]*;\s*(?://(.*))?$")
SLOT = re.compile(r"\bslot\s+(k\w+)")

# An optional uint32 is an enumeration: the .proto files declare enums as
# uint32 because they travel as unsigned varints.
KINDS = {
    ("optional", "uint32"): "Enum",
    ("repeated", "uint32"): "UInt32",
}
SCALARS = {"bool": "Bool", "int32": "Int32", "int64": "Int64", "uint64": "UInt64", "float": "Float",
           "double": "Double", "string": "String", "bytes": "Bytes"}


def parse(paths):
    messages = {}
    for path in paths:
        current = None
        for number, line in enumerate(pathlib.Path(path).read_text().splitlines(), 1):
            if m := MESSAGE.match(line):
                current = messages.setdefault(m.group(1), [])
            elif m := FIELD.match(line):
                if current is None:
                    sys.exit(f"{path}:{number}: field outside a message")
                label, type_, name, tag, comment = m.groups()
                slot = SLOT.search(comment or "")
                current.append((label, type_, name, int(tag), slot.group(1) if slot else None))
            elif line.strip() == "}":
                current = None
            elif current is not None and line.strip() and not line.strip().startswith("//"):
                # Anything else in a message (oneof, map, reserved, a nested
                # type) would shift the indices without saying so.
                sys.exit(f"{path}:{number}: not a plain field: {line.strip()}")
    return messages


def field_spec(label, type_, name, tag, messages):
    element = "AdCampaignInfo"  # ignored for fields that are not messages
    if type_ in messages:
        kind, element = "Message", type_
    elif (label, type_) in KINDS:
        kind = KINDS[(label, type_)]
    elif type_ in SCALARS:
        kind = SCALARS[type_]
    else:
        sys.exit(f"{name}: unknown field type {type_}")
    word = f"kMSRPBLabel{'Repeated' if label == 'repeated' else 'Single'} | kMSRPBKind{kind}"
    shown = "" if name.startswith("extra_") else name
    return f'    {{{tag}, {word}, MSRPBMessageID::{element}, "{shown}"}},'


def slot_namespace(message):
    return "MSR" + message.removeprefix("Measurement").removesuffix("Entry") + "Slot"


def write(path, text):
    # Rewriting an unchanged file would rebuild everything that includes it.
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def main():
    out = pathlib.Path(sys.argv[1])
    messages = parse(sys.argv[2:])
    out.mkdir(parents=True, exist_ok=True)

    table = ["#pragma once", "// Generated from the .proto files by generate_field_tables.py.", "",
             "#include <array>", "#include <iterator>", "", '#include "analytics/messages/MSRPBMessageType.h"', "",
             "namespace MSRPBFieldTable {", ""]
    for message in sorted(messages):
        table.append(f"inline constexpr MSRPBFieldSpec k{message}[] = {{")
        table += [field_spec(label, type_, name, tag, messages) for label, type_, name, tag, _ in messages[message]]
        table += ["};", ""]
    table += ["#define MSRPB_TYPE(name) \\",
              "    MSRPBMessageType{MSRPBMessageID::name, #name, static_cast<uint32_t>(std::size(k##name)), k##name},",
              "inline constexpr std::array<MSRPBMessageType, kMSRPBMessageCount> kTypes = "
              "{MSRPB_FOR_EACH_MESSAGE(MSRPB_TYPE)};",
              "#undef MSRPB_TYPE", "", "}  // namespace MSRPBFieldTable", ""]
    write(out / "MSRPBFieldTable.h", "\n".join(table))

    index = ["#pragma once", "// Generated from the .proto files by generate_field_tables.py: the field index",
             "// of every field that carries a slot name.", "", "#include <cstdint>", ""]
    for message in sorted(messages):
        slots = [(i, name, slot) for i, (_, _, name, _, slot) in enumerate(messages[message]) if slot]
        if not slots:
            continue
        namespace = slot_namespace(message)
        index.append(f"namespace {namespace} {{")
        index += [f"inline constexpr uint32_t {slot} = {i};  // {name}" for i, name, slot in slots]
        index += [f"}}  // namespace {namespace}", ""]
    write(out / "MSRPBFieldIndex.h", "\n".join(index))


if __name__ == "__main__":
    main()

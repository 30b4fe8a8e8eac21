#pragma once
// The bounds of what a server may send, counted on the wire before anything
// of an answer is built (MSRPBWireRefusalOf in MSRPBWireCount.h). The numbers
// live here, below every layer that decodes an answer, so that the engine's
// own limits and the wire count are one number each; MSRPBWireCount.cpp says
// for each field which bound holds it and why.

#include <cstddef>

namespace MSRPBWireMost {

// Event configurations and settings of one configuration. An application
// logs a few hundred event names at most (the server keeps 500 per project)
// and the engine reads about 70 settings; each entry costs about 1 KB at
// every start, so these cost about 10 MB each.
inline constexpr size_t kEventConfigsPerConfig = 10000;
inline constexpr size_t kSettingsPerConfig = 10000;

// Entities (literals and statements, a program's top level and its
// activities together) of all the programs of one configuration: the
// programs an engine is served hold a few hundred to a few thousand, and
// every entity costs a value and an instruction of the load.
inline constexpr size_t kProgramEntities = 100'000;

// Experiments of one experiments answer, over all its snapshots. An
// application takes part in a few experiments at a time (an experiments
// console runs a few dozen per project at most); every activated one is
// kept in memory and named in every upload bundle, so 1,000 cost about 5 KB
// per bundle.
inline constexpr size_t kExperimentsPerAnswer = 1000;
// Flags of one experiment and of one answer, and the bytes the flags of one
// answer take on the wire. An experiment sets a handful of values, and the
// rolled-out values of a project run to a few hundred of some tens of bytes
// each; every byte of a flag is held many times over on its way into memory
// and the database, and again at every start.
inline constexpr size_t kFlagsPerExperiment = 1000;
inline constexpr size_t kFlagsPerAnswer = 10000;
inline constexpr size_t kFlagBytesPerAnswer = size_t{1} << 20;

// Entries of the expression lists of one configuration's audience filters,
// together. Each costs about 230 bytes while its filter is matched (as
// message, stored bytes and compiled text), so these take about 15 MB at
// most; the longest real lists (the world's countries, a catalogue's
// products) run to hundreds of entries, and a hundred audiences each with
// one list of 650 entries still fit.
inline constexpr size_t kExpressionListEntries = size_t{1} << 16;

// Bytes of whole answers as they arrive. A configuration runs to some
// hundred KB with a program; the experiments answer comes compressed, and
// what it inflates to is bounded apart. What the engine stores of an answer
// is bounded by these (MSRStoredBounds.h).
inline constexpr size_t kConfigurationAnswerBytes = size_t{4} << 20;
inline constexpr size_t kExperimentsAnswerBytes = size_t{1} << 20;
inline constexpr size_t kExperimentsInflatedBytes = size_t{8} << 20;

}  // namespace MSRPBWireMost

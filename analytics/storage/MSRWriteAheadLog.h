#pragma once

// Reading SQLite's write-ahead log frame by frame, beside SQLite: to tell a
// damaged log from one SQLite reads whole before SQLite opens it, and to take
// every frame that checks out on its own from a damaged one, which SQLite
// would read only up to the first bad frame, or not at all when the log's
// header is damaged.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// SQLite's running checksum of a log: pairs of 32-bit words, in the byte
// order the log's magic number names.
struct MSRLogChecksum {
    bool bigEndianWords = false;
    uint32_t first = 0;
    uint32_t second = 0;

    void add(const uint8_t* bytes, size_t size);
};

uint32_t MSRBigEndian32(const uint8_t* bytes);
// A page size SQLite takes: a power of two from 512 to 65536.
bool MSRValidPageSize(uint32_t size);
// Every page size, in the order a file whose own does not read is tried
// with: the likeliest first.
inline constexpr uint32_t kMSRPageSizes[] = {4096u, 1024u, 2048u, 8192u, 16384u, 32768u, 65536u, 512u};

inline constexpr size_t kMSRLogHeaderSize = 32;
inline constexpr size_t kMSRLogFrameHeaderSize = 24;

// What a log header that SQLite reads names.
struct MSRLogHeader {
    uint32_t pageSize;
    bool bigEndianWords;
};
// The header of kMSRLogHeaderSize bytes, when its magic number, page size
// and checksum are sound.
std::optional<MSRLogHeader> MSRReadLogHeader(const uint8_t* header);

// The frames of a log read on their own: each frame is checked with the
// checksum its predecessor stores, so one bad frame costs that frame alone.
struct MSRLogFrames {
    // When the log's header does not read, page size, salts and byte order
    // are taken from the frames that check out.
    uint32_t pageSize = 0;
    // Frames of committed transactions that check out, in log order: the
    // page number and the offset of the page in the log.
    struct Frame {
        uint32_t pageNumber;
        uint64_t pageOffset;
    };
    std::vector<Frame> frames;
};

// Reads the log at `logPath`; `pageSizeHint` is the main file's page size,
// if it names one, for a log whose header does not read. `bytes`, when
// given, receives the log's bytes (the frames' offsets point into them).
// Nothing when no frame of the file checks out.
std::optional<MSRLogFrames> MSRReadLogFrames(const std::string& logPath, uint32_t pageSizeHint,
                                             std::vector<uint8_t>* bytes = nullptr);

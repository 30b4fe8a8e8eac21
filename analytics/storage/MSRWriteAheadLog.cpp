#include "analytics/storage/MSRWriteAheadLog.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace {

uint32_t littleEndian32(const uint8_t* bytes) {
    return (uint32_t{bytes[3]} << 24) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[1]} << 8) | bytes[0];
}

// The frames of `log` read with one reading of its header: page size, salts,
// byte order and the checksum the first frame goes on from. A frame checks
// out when the checksum its predecessor stores, carried over its header and
// page, gives the one it stores; a frame that does not is skipped, and the
// next goes on from what it stores. A transaction's frames count once a
// commit frame ends it: a torn or uncommitted tail is no part of the file.
MSRLogFrames walkFrames(const std::vector<uint8_t>& log, uint32_t pageSize, const uint8_t* salts,
                        bool bigEndianWords, uint32_t first, uint32_t second, int64_t* checkedOut) {
    MSRLogFrames out;
    out.pageSize = pageSize;
    const size_t frameSize = kMSRLogFrameHeaderSize + pageSize;
    std::vector<MSRLogFrames::Frame> pending;
    for (size_t offset = kMSRLogHeaderSize; offset + frameSize <= log.size(); offset += frameSize) {
        const uint8_t* frame = log.data() + offset;
        MSRLogChecksum checksum{bigEndianWords, first, second};
        first = MSRBigEndian32(frame + 16);
        second = MSRBigEndian32(frame + 20);
        // Frames of an earlier use of the file never check out with this
        // log's salts, and are no part of it.
        if (!std::equal(salts, salts + 8, frame + 8)) continue;
        checksum.add(frame, 8);
        checksum.add(frame + kMSRLogFrameHeaderSize, pageSize);
        const uint32_t pageNumber = MSRBigEndian32(frame);
        if (pageNumber != 0 && checksum.first == first && checksum.second == second) {
            pending.push_back({pageNumber, offset + kMSRLogFrameHeaderSize});
            ++*checkedOut;
        }
        if (MSRBigEndian32(frame + 4) != 0) {
            out.frames.insert(out.frames.end(), pending.begin(), pending.end());
            pending.clear();
        }
    }
    return out;
}

}  // namespace

uint32_t MSRBigEndian32(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

bool MSRValidPageSize(uint32_t size) { return size >= 512 && size <= 65536 && (size & (size - 1)) == 0; }

void MSRLogChecksum::add(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint32_t a = bigEndianWords ? MSRBigEndian32(bytes + i) : littleEndian32(bytes + i);
        const uint32_t b = bigEndianWords ? MSRBigEndian32(bytes + i + 4) : littleEndian32(bytes + i + 4);
        first += a + second;
        second += b + first;
    }
}

std::optional<MSRLogHeader> MSRReadLogHeader(const uint8_t* header) {
    const uint32_t magic = MSRBigEndian32(header);
    const uint32_t pageSize = MSRBigEndian32(header + 8);
    if ((magic & 0xfffffffe) != 0x377f0682 || !MSRValidPageSize(pageSize)) return std::nullopt;
    MSRLogChecksum checksum;
    checksum.bigEndianWords = magic & 1;
    checksum.add(header, 24);
    if (checksum.first != MSRBigEndian32(header + 24) || checksum.second != MSRBigEndian32(header + 28))
        return std::nullopt;
    return MSRLogHeader{pageSize, checksum.bigEndianWords};
}

std::optional<MSRLogFrames> MSRReadLogFrames(const std::string& logPath, uint32_t pageSizeHint,
                                             std::vector<uint8_t>* bytes) {
    std::ifstream in(logPath, std::ios::binary);
    std::vector<uint8_t> log((std::istreambuf_iterator<char>(in)), {});
    if (log.size() < kMSRLogHeaderSize + kMSRLogFrameHeaderSize + 512) return std::nullopt;
    const uint8_t* header = log.data();
    std::optional<MSRLogFrames> best;
    int64_t bestCheckedOut = 0;
    if (std::optional<MSRLogHeader> readable = MSRReadLogHeader(header)) {
        best = walkFrames(log, readable->pageSize, header + 16, readable->bigEndianWords, MSRBigEndian32(header + 24),
                          MSRBigEndian32(header + 28), &bestCheckedOut);
    } else {
        // The header's page size may still be right, else the main file's;
        // the salts are the first frame's; the byte order is whichever
        // makes frames check out.
        std::vector<uint32_t> pageSizes;
        for (uint32_t size : {MSRBigEndian32(header + 8), pageSizeHint}) {
            if (MSRValidPageSize(size) && std::find(pageSizes.begin(), pageSizes.end(), size) == pageSizes.end())
                pageSizes.push_back(size);
        }
        for (uint32_t size : kMSRPageSizes) {
            if (std::find(pageSizes.begin(), pageSizes.end(), size) == pageSizes.end()) pageSizes.push_back(size);
        }
        const uint8_t* salts = header + kMSRLogHeaderSize + 8;
        for (uint32_t size : pageSizes) {
            for (bool bigEndianWords : {true, false}) {
                int64_t checkedOut = 0;
                MSRLogFrames frames = walkFrames(log, size, salts, bigEndianWords, MSRBigEndian32(header + 24),
                                                 MSRBigEndian32(header + 28), &checkedOut);
                if (checkedOut > bestCheckedOut) {
                    bestCheckedOut = checkedOut;
                    best = std::move(frames);
                }
            }
        }
    }
    if (!best || bestCheckedOut == 0) return std::nullopt;
    if (bytes) *bytes = std::move(log);
    return best;
}

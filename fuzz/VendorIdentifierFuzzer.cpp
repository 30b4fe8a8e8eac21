// The VendorIdentifier file of the data root, read back at start: whatever
// it holds, the identifier handed out is a canonical upper-case UUID, and a
// file that holds none is replaced by a new one.

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "fuzz/FuzzInput.h"
#include "platform/foundation/FileSystem.h"
#include "platform/host/AdvertisingIdentity.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every write is fsynced: a folder in memory keeps the runs quick.
    static const fs::path root = [] {
        char inMemory[] = "/dev/shm/calvaro-fuzz-XXXXXX";
        char onDisk[] = "/tmp/calvaro-fuzz-XXXXXX";
        const char* folder = ::mkdtemp(inMemory);
        if (!folder) folder = ::mkdtemp(onDisk);
        if (!folder) std::abort();
        static const fs::path path(folder);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(path, ec);
        });
        foundation::FileSystem::setHome(path);
        return path;
    }();
    const fs::path file = foundation::FileSystem::libraryDirectory() / "VendorIdentifier";
    if (!foundation::FileSystem::writeAtomically(file, fuzz::text(data, size))) std::abort();
    const auto identifier = host::identifierForVendor();
    if (!identifier || identifier->size() != 36) std::abort();
    for (size_t i = 0; i < identifier->size(); ++i) {
        const char c = (*identifier)[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')))
            std::abort();
    }
    std::string stored;
    if (!foundation::FileSystem::readFile(file, stored) || stored.rfind(*identifier, 0) != 0) {
        // The file kept its own identifier in another case: that is the same one.
        for (char& c : stored) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (stored.find(*identifier) == std::string::npos) std::abort();
    }
    (void)root;
    return 0;
}

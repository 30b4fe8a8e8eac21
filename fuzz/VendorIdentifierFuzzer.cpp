// The VendorIdentifier file of the data root, read back at start: whatever
// it holds, the identifier handed out is a canonical upper-case UUID, and a
// file that holds none is replaced by a new one.

#include <cctype>
#include <cstdlib>
#include <filesystem>

#include "fuzz/FuzzInput.h"
#include "fuzz/FuzzScratchFolder.h"
#include "platform/foundation/FileSystem.h"
#include "platform/host/AdvertisingIdentity.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path root = [] {
        const fs::path& path = fuzz::scratchFolder();
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

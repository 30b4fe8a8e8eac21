// The files of the data root that hold property lists, read as each owner
// reads them at start: a preference suite (with the history in it), the
// persisted configuration and the keychain. A file that does not read is set
// aside, never lost; nothing may crash.

#include <cstdlib>
#include <filesystem>

#include "Calvaro/engine/CalcManager.h"
#include "analytics/storage/Keychain.h"
#include "fuzz/FuzzInput.h"
#include "fuzz/FuzzScratchFolder.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/UserDefaults.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path& root = fuzz::scratchFolder();
    std::error_code ec;
    fs::remove_all(root / "Preferences", ec);
    const std::string_view bytes = fuzz::text(data, size);
    if (!foundation::FileSystem::writeAtomically(root / "Preferences" / "app.plist", bytes)) std::abort();
    if (!foundation::FileSystem::writeAtomically(root / "Preferences" / "keychain.plist", bytes)) std::abort();

    {
        CalcManager history(foundation::UserDefaults(std::make_shared<foundation::PreferencesStore>(root / "Preferences"),
                                                     "app"));
        history.prepareFirstStart();
        (void)history.calculationDictionaries();
        (void)history.currentSelectedCalculation();
    }
    Keychain keychain(root / "Preferences" / "keychain.plist");
    Keychain::Item item;
    (void)keychain.copyMatching({{Keychain::kClass, foundation::Value("genp")}}, &item);
    return 0;
}

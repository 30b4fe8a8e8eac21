#pragma once

// A folder of the benchmark process's own under the system's temporary folder
// ($TMPDIR, else /tmp), removed with the object. A data root goes inside it,
// not beside it, because the engine keeps some things next to its data root
// (the keychain stand-in's "<root>.keychain" folder): removing this one folder
// leaves nothing behind. Whatever writes into the root must have ended (its
// queues drained, its objects gone) before the folder goes.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace bench {

class BenchTemporaryFolder {
  public:
    explicit BenchTemporaryFolder(const std::string& label) {
        std::string pattern = (std::filesystem::temp_directory_path() / ("calvaro-" + label + "-XXXXXX")).string();
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~BenchTemporaryFolder() { remove(); }
    BenchTemporaryFolder(const BenchTemporaryFolder&) = delete;
    BenchTemporaryFolder& operator=(const BenchTemporaryFolder&) = delete;

    // Empty when the folder could not be made.
    const std::filesystem::path& path() const { return path_; }
    // A data root inside the folder (made, empty).
    std::filesystem::path dataRoot() const {
        if (path_.empty()) return {};
        std::filesystem::path root = path_ / "home";
        std::error_code ignored;
        std::filesystem::create_directories(root, ignored);
        return root;
    }

    void remove() {
        if (path_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
        path_.clear();
    }

  private:
    std::filesystem::path path_;
};

}  // namespace bench

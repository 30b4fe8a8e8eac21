#pragma once

#include <filesystem>
#include <string_view>

// An empty folder of one test under the system's temporary folder, removed
// with the object. Test cases run as parallel processes, so its name carries
// the process id and a counter. useAsHome() makes it (or a folder in it) the
// data root the platform hands out until the object goes.
class TemporaryDataRoot {
  public:
    explicit TemporaryDataRoot(std::string_view label = "test");
    ~TemporaryDataRoot();
    TemporaryDataRoot(const TemporaryDataRoot&) = delete;
    TemporaryDataRoot& operator=(const TemporaryDataRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The home folder `path() / relative` (created), the platform's data root
    // from now on; the previous one comes back on destruction.
    const std::filesystem::path& useAsHome(const std::filesystem::path& relative = {});
    const std::filesystem::path& home() const { return home_; }

  private:
    std::filesystem::path path_;
    std::filesystem::path home_;
    std::filesystem::path previousHome_;
    bool homeSet_ = false;
};

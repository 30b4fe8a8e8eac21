#pragma once
// The analytics database in a temporary home of its own, with one metadata
// row's bundle and fingerprint ready; the home goes with it.

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/storage/MSRDatabase.h"
#include "platform/foundation/FileSystem.h"

struct BenchDatabase {
    enum : uint32_t { kBundlePlatform = 8, kBundleAppID = 14 };

    explicit BenchDatabase(const std::string& label) {
        std::string pattern = "/tmp/calvaro-" + label + "-bench-XXXXXX";
        directory = mkdtemp(pattern.data());
        previousHome = foundation::FileSystem::home();
        foundation::FileSystem::setHome(directory);
        database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, nullptr, nullptr);
        MSRPBSetString(metadata, kBundleAppID, "1:1234567890:ios:abcdef");
        MSRPBSetString(metadata, kBundlePlatform, "linux");
        fingerprint = static_cast<int64_t>(msr_64LSBMD5(*metadata.protoBuffer()));
    }
    ~BenchDatabase() {
        database.reset();
        foundation::FileSystem::setHome(previousHome);
        std::filesystem::remove_all(directory);
    }

    std::string directory;
    std::filesystem::path previousHome;
    std::unique_ptr<MSRDatabase> database;
    MSRPBMeasurementBundle metadata;
    int64_t fingerprint = 0;
};

#pragma once

// What the tests of the fetch validators share: a stored configuration with
// both validators on disk beside it, and a drop run where every drop runs.

#include <gtest/gtest.h>

#include <memory>

#include "analytics/storage/MSRDatabase.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/dispatch/SerialQueue.h"

struct StoredValidators {
    std::shared_ptr<MSRPersistedConfig> config;
    std::shared_ptr<MSRDatabase> database;
};

// The dictionary of `suite` with an ETag and a Last-Modified date, written
// out, and a database holding a configuration they name. Call it under
// ASSERT_NO_FATAL_FAILURE: a part that cannot be made fails the test.
inline void storeConfigurationWithValidators(const char* suite, dispatch::ManualExecutor& executor,
                                             StoredValidators& stored) {
    stored.config = MSRPersistedConfig::initWithSuiteName(suite);
    ASSERT_TRUE(stored.config);
    stored.database = MSRDatabase::initWithDatabaseName(MSRDatabase::kDatabaseName, stored.config, nullptr);
    ASSERT_TRUE(stored.database);
    stored.config->setConfigServerETag("\"v1\"");
    stored.config->setConfigServerLastModifiedString("Wed, 21 Oct 2026 07:28:00 GMT");
    executor.advanceBy(MSRPersistedConfig::kSynchronizeDelay);  // both on disk
    ASSERT_TRUE(stored.database->updateRemoteConfigData({0x08, 0x01}, nullptr));
}

// Drops the stored configuration on the engine's worker, as every drop runs;
// whether the drop said it succeeded.
inline bool dropOnTheWorker(MSRDatabase& database, dispatch::ManualExecutor& executor) {
    bool dropped = false;
    auto worker = dispatch::SerialQueue::create("test.worker");
    worker->async([&] { dropped = database.deleteRemoteConfig(nullptr); });
    executor.runUntilIdle();
    return dropped;
}

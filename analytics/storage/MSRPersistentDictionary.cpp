#include "analytics/storage/MSRPersistentDictionary.h"

#include <algorithm>
#include <filesystem>

#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRStorageLog.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/DataLoss.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/StoredFileRoom.h"

using foundation::Value;

std::shared_ptr<MSRPersistentDictionary> MSRPersistentDictionary::create(const std::string& fileName) {
    if (fileName.empty()) return nullptr;
    std::string path = MSRSDKPlistPath(fileName);
    if (path.empty()) return nullptr;
    if (!MSRCreateEngineDirectory()) {
        MSRStorageConsoleLog(MSRConsoleSeverity::kError, 43004,
                             "Cannot create subdirectories for config plist files.");
        return nullptr;
    }
    Value::Dictionary content;
    std::string bytes;
    foundation::StoredFileScope scope(foundation::storedFileBound(fileName));
    foundation::PropertyListRefusal refusal;
    std::error_code ec;
    const bool read = foundation::FileSystem::readFile(path, bytes);
    if (!read && std::filesystem::file_size(path, ec) > foundation::kMaximumPropertyListBytes && !ec)
        refusal = {true, "larger than the reader takes"};
    if (read || refusal.pastBounds) {
        if (auto parsed = read ? foundation::parsePropertyList(bytes, &refusal) : std::nullopt;
            parsed && parsed->dictionary()) {
            content = *parsed->dictionary();
        } else if (auto aside = foundation::FileSystem::setAside(path)) {
            // Damaged, not a dictionary, or more than is read: kept for
            // inspection before the first write replaces it, and what stays
            // of it by its bound's order (the engine's own values first)
            // goes on. A damaged value costs that value, never the
            // installation's identity or its first open beside it.
            const auto bound = foundation::storedFileBound(fileName);
            const auto plan =
                bound ? foundation::storedFileSalvagePlan(*bound) : foundation::PropertyListSalvagePlan();
            content = read ? foundation::salvagePropertyListDictionary(bytes, plan)
                           : foundation::salvagePropertyListFile(*aside, plan);
            const std::string salvaged =
                "; kept as " + aside->string() + ", " + std::to_string(content.size()) + " values salvaged";
            if (refusal.pastBounds) {
                MSRStorageConsoleLog(
                    MSRConsoleSeverity::kError, 43006,
                    "Config plist file is past the reader's bounds (" + refusal.why + ")" + salvaged);
            } else {
                MSRStorageConsoleLog(MSRConsoleSeverity::kError, 43005,
                                     "Config plist file is damaged" + salvaged);
            }
        } else {
            MSRStorageConsoleLog(MSRConsoleSeverity::kError, 43005,
                                 "Config plist file is damaged and cannot be moved aside: " + path);
            return nullptr;
        }
    }
    std::shared_ptr<MSRPersistentDictionary> dictionary(new MSRPersistentDictionary(path, std::move(content)));
    dictionary->storedFileName_ = fileName;
    std::weak_ptr<MSRPersistentDictionary> weak = dictionary;
    dictionary->queuesEndHandler_ = dispatch::addQueuesEndHandler([weak] {
        if (auto self = weak.lock()) self->writeAtOnceFromNowOn();
    });
    return dictionary;
}

MSRPersistentDictionary::MSRPersistentDictionary(std::string filePath, Value::Dictionary content)
    : filePath_(std::move(filePath)),
      content_(std::move(content)),
      serialQueue_(dispatch::SerialQueue::create("MSRPersistentDictionary")) {}

MSRPersistentDictionary::~MSRPersistentDictionary() {
    dispatch::removeQueuesEndHandler(queuesEndHandler_);
    bool pending;
    {
        std::lock_guard lock(mutex_);
        pending = hasPendingPersistence_;
    }
    if (pending) persistToDisk();
}

Value MSRPersistentDictionary::objectForKey(const std::string& key) {
    if (!acceptsKey(key, 43001, "Cannot get object for invalid config key.")) return Value();
    std::lock_guard lock(mutex_);
    auto found = content_.find(key);
    return found == content_.end() ? Value() : found->second;
}

void MSRPersistentDictionary::setObject(const Value& value, const std::string& key) {
    if (!acceptsKey(key, 43002, "Cannot set object for invalid config key.")) return;
    if (value.isAbsent()) {
        std::lock_guard lock(mutex_);
        if (content_.erase(key)) scheduleLocked(kPersistDelay);
        return;
    }
    // A value with no property-list form, at any depth, would make every
    // later write of the whole file fail.
    if (!acceptsValue(value, 43003,
                      "Cannot set invalid object to config. Must be a string, number, array, dictionary, "
                      "date, or data. Value ")) {
        return;
    }
    std::lock_guard lock(mutex_);
    auto found = content_.find(key);
    if (found != content_.end() && found->second == value && found->second.type() == value.type()) return;
    content_[key] = value;
    scheduleLocked(kPersistDelay);
}

void MSRPersistentDictionary::clearAllData() {
    std::lock_guard lock(mutex_);
    if (content_.empty()) return;
    content_.clear();
    scheduleLocked(kPersistDelay);
}

bool MSRPersistentDictionary::hasPendingPersistence() const {
    std::lock_guard lock(mutex_);
    return hasPendingPersistence_;
}

void MSRPersistentDictionary::schedulePersistToDisk() {
    std::lock_guard lock(mutex_);
    scheduleLocked(kPersistDelay);
}

void MSRPersistentDictionary::scheduleLocked(double delay, bool retry) {
    if (hasPendingPersistence_) return;
    hasPendingPersistence_ = true;
    std::weak_ptr<MSRPersistentDictionary> weakSelf = weak_from_this();
    auto write = [weakSelf] {
        // A synchronize may have written the change already.
        if (auto self = weakSelf.lock(); self && self->hasPendingPersistence()) self->persistToDisk();
    };
    if (ending_ && !retry) {
        serialQueue_->async(write);
    } else {
        serialQueue_->asyncAfter(delay, write);
    }
}

void MSRPersistentDictionary::writeAtOnceFromNowOn() {
    std::lock_guard lock(mutex_);
    ending_ = true;
    if (!hasPendingPersistence_) return;
    // The write already scheduled is delayed, and goes with the end.
    std::weak_ptr<MSRPersistentDictionary> weakSelf = weak_from_this();
    serialQueue_->async([weakSelf] {
        if (auto self = weakSelf.lock(); self && self->hasPendingPersistence()) self->persistToDisk();
    });
}

void MSRPersistentDictionary::synchronize() {
    // On the queue of the scheduled writes, so that an older snapshot never
    // lands after a newer one.
    serialQueue_->sync([this] {
        if (hasPendingPersistence()) persistToDisk();
    });
}

bool MSRPersistentDictionary::makeRoom() {
    const auto bound = foundation::storedFileBound(storedFileName_);
    if (!bound) return false;
    std::optional<foundation::StoredFileGivingWay> giving;
    {
        std::lock_guard lock(mutex_);
        giving = foundation::storedFileGivingWay(content_, *bound);
    }
    if (!giving) return false;
    auto xml = foundation::propertyListXml(Value(giving->given));
    auto aside = xml ? foundation::FileSystem::keepAside(filePath_, *xml) : std::nullopt;
    if (!aside) return false;
    {
        std::lock_guard lock(mutex_);
        foundation::applyGivingWay(content_, *giving);
    }
    MSRStorageConsoleLog(MSRConsoleSeverity::kError, 43008,
                         "Configs of lower standing give way to keep the file within its bound; kept as " +
                             aside->string());
    return true;
}

bool MSRPersistentDictionary::persistToDisk() {
    Value snapshot;
    {
        std::lock_guard lock(mutex_);
        snapshot = Value(content_);
        hasPendingPersistence_ = false;
    }
    foundation::PropertyListRefusal refusal;
    auto xml = [&] {
        foundation::StoredFileScope scope(foundation::storedFileBound(storedFileName_));
        return foundation::propertyListXml(snapshot, &refusal);
    }();
    std::string failure;
    bool written = xml && foundation::FileSystem::writeAtomically(filePath_, *xml, &failure);
    // The file is made anew by every write, with the umask's mode.
    if (written) MSRRestrictFileToOwner(filePath_);
    if (!written && refusal.pastBounds && makeRoom()) return persistToDisk();
    std::lock_guard lock(mutex_);
    if (written) {
        retryDelay_ = kPersistDelay;
        foundation::DataLoss::recovered("configs of " + filePath_);
        return true;
    }
    if (refusal.pastBounds) {
        // A file its reader would set aside at the next start: the old one
        // stays. Trying again cannot help before the contents change, and a
        // change schedules its own write.
        MSRStorageConsoleLog(MSRConsoleSeverity::kError, 43007,
                             "Configs past the reader's bounds are not persisted (" + refusal.why +
                                 "); the file keeps its last contents");
        foundation::DataLoss::note("configs of " + filePath_, 1, "writes past its bound");
        return false;
    }
    MSRStorageConsoleLog(MSRConsoleSeverity::kError, 43000, "Cannot persist configs to disk");
    // Try again without waiting for the next change, backing off while the
    // disk keeps refusing. A change in the meantime has scheduled a write
    // already, which carries the same contents.
    double delay = retryDelay_;
    retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
    // (Also at the end: a disk that refuses does not hold it.)
    if (!weak_from_this().expired()) scheduleLocked(delay, true);
    return false;
}

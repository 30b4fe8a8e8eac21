#include "Calvaro/engine/CalcManager.h"

#include <cstdio>
#include <memory>

#include "platform/foundation/SharedSlot.h"

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

using foundation::Value;

const std::map<std::string, std::string>& exampleInputParameters() {
    static const std::map<std::string, std::string> parameters = {
        {"aTextField", "2"}, {"bTextField", "1"}, {"cTextField", "0"},
        {"dTextField", "0"}, {"xTextField", "1"}, {"zTextField", "1"},
    };
    return parameters;
}

const Value::Dictionary& exampleSetupParameter() {
    static const Value::Dictionary parameters = {{"inputCalculationSelection", 0}, {"appKey", "CLV"}};
    return parameters;
}

Calculation exampleCalculation() {
    Calculation example;
    example.inputParameters = exampleInputParameters();
    example.latexString = "f(x) = 1 \\cdot \\log_{2}(1 x + 0) + 0 \\quad \\quad x=1";
    example.setupParameter = exampleSetupParameter();
    return example;
}

namespace {

foundation::SharedSlot<CalcManager>& sharedSlot() {
    static foundation::SharedSlot<CalcManager> slot;
    return slot;
}

}  // namespace

CalcManager& CalcManager::shared() {
    return *sharedSlot().getOrMake([] {
        auto instance = std::make_shared<CalcManager>(foundation::UserDefaults::standard());
        instance->prepareFirstStart();
        return instance;
    });
}

void CalcManager::resetShared() {
    sharedSlot().reset();
}

CalcManager::CalcManager(foundation::UserDefaults userDefaults)
    : userDefaults_(std::move(userDefaults)), persistKey_("calvaro_1") {
    hadStoredHistory_ = !userDefaults_.object(calculationsKey).isAbsent();
    calculations_ = loadCalculations();
    // A history stored by an older build, or beside other values by hand.
    if (recordsWithinBound(calculationDictionaries()) < calculations_.size()) saveCalculations();
    currentCalculation_ = storedCalculation(currentCalculationKey);
    currentSelectedCalculation_ = storedCalculation(currentSelectedCalculationKey);
}

bool CalcManager::prepareFirstStart() {
    if (userDefaults_.boolValue(exampleSeededKey) == true) return false;
    // A store written before the marker existed already had its first start:
    // its history, even an empty one, is the user's.
    bool firstStart = !hadStoredHistory_;
    userDefaults_.set(exampleSeededKey, true);
    if (firstStart) resetHistory();
    return firstStart;
}

void CalcManager::addCalculation(const Calculation& calculation) {
    calculations_.insert(calculations_.begin(), calculation);
    saveCalculations();
}

bool CalcManager::removeCalculation(int64_t index) {
    if (index < 0 || index >= static_cast<int64_t>(calculations_.size())) return false;
    calculations_.erase(calculations_.begin() + index);
    saveCalculations();
    return true;
}

bool CalcManager::moveCalculation(int64_t source, int64_t destination) {
    auto count = static_cast<int64_t>(calculations_.size());
    if (source < 0 || source >= count || destination < 0 || destination >= count) return false;
    Calculation moved = std::move(calculations_[source]);
    calculations_.erase(calculations_.begin() + source);
    calculations_.insert(calculations_.begin() + destination, std::move(moved));
    saveCalculations();
    return true;
}

void CalcManager::clearHistory() {
    userDefaults_.remove(calculationsKey);
    calculations_.clear();
    saveCalculations();
}

void CalcManager::resetHistory() {
    clearHistory();
    addCalculation(exampleCalculation());
}

void CalcManager::saveCurrentSelectedCalculation() {
    if (currentSelectedCalculation_) {
        userDefaults_.set(currentSelectedCalculationKey, currentSelectedCalculation_->dictionary());
    } else {
        userDefaults_.remove(currentSelectedCalculationKey);
    }
}

Value::List CalcManager::calculationDictionaries() const {
    Value::List out;
    out.reserve(calculations_.size());
    for (const Calculation& calculation : calculations_) out.emplace_back(calculation.dictionary());
    return out;
}

std::vector<Calculation> CalcManager::loadCalculations() {
    std::vector<Calculation> loaded;
    Value::List unreadable;
    Value stored = userDefaults_.object(calculationsKey);
    if (const Value::List* list = stored.list()) {
        for (const Value& item : *list) {
            // A record past the history's bound on its own is none the
            // Calculate screen wrote: left out like an entry that is no
            // record, so that the records after it do not give way for it.
            const auto* dict = item.dictionary();
            const auto size = foundation::propertyListSize(item, 2);
            if (dict && size.values + 2 <= historyBound.values && size.bytes + 64 <= historyBound.bytes) {
                loaded.emplace_back(*dict);
            } else {
                unreadable.push_back(item);
            }
        }
    } else if (!stored.isAbsent()) {
        unreadable.push_back(std::move(stored));
    }
    // An entry that is no record of ours is the user's data still: it is kept
    // in a file of its own before the history is written without it, and the
    // readable entries stay.
    if (!unreadable.empty() && !setAsideUnreadableEntries(unreadable)) return loaded;
    if (loaded.empty()) {
        userDefaults_.remove(calculationsKey);
        calculations_.clear();
        saveCalculations();
    } else if (!unreadable.empty()) {
        Value::List readable;
        for (const Calculation& calculation : loaded) readable.emplace_back(calculation.dictionary());
        userDefaults_.set(calculationsKey, readable);
    }
    return loaded;
}

bool CalcManager::setAsideUnreadableEntries(const Value::List& entries) {
    const auto preferences = userDefaults_.filePath();
    const auto file = preferences.parent_path() / (userDefaults_.domainName() + "." + calculationsKey + ".plist");
    auto bytes = foundation::propertyListXml(Value(entries));
    auto aside = bytes ? foundation::FileSystem::keepAside(file, *bytes) : std::nullopt;
    if (!aside) {
        std::fprintf(stderr, "history: %zu unreadable entries cannot be kept aside; the stored history stays\n",
                     entries.size());
        return false;
    }
    std::fprintf(stderr, "history: %zu unreadable entries kept in %s\n", entries.size(), aside->c_str());
    return true;
}

std::optional<Calculation> CalcManager::storedCalculation(const std::string& key) const {
    if (auto dict = userDefaults_.dictionary(key)) return Calculation(*dict);
    return std::nullopt;
}

size_t CalcManager::recordsWithinBound(const Value::List& entries) {
    // The key and the list's own lines.
    foundation::PropertyListSize used{2, 64};
    for (size_t kept = 0; kept < entries.size(); ++kept) {
        // Records sit two levels deep: in the list, in the domain's dictionary.
        const auto size = foundation::propertyListSize(entries[kept], 2);
        used.values += size.values;
        used.bytes += size.bytes;
        if (used.values > historyBound.values || used.bytes > historyBound.bytes) return kept;
    }
    return entries.size();
}

void CalcManager::saveCalculations() {
    Value::List entries = calculationDictionaries();
    const size_t kept = recordsWithinBound(entries);
    if (kept < entries.size()) {
        std::fprintf(stderr,
                     "history: the %zu oldest records give way, so that the history stays within %llu values and "
                     "%llu MiB of its preferences file\n",
                     entries.size() - kept, static_cast<unsigned long long>(historyBound.values),
                     static_cast<unsigned long long>(historyBound.bytes >> 20));
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
        calculations_.erase(calculations_.begin() + static_cast<std::ptrdiff_t>(kept), calculations_.end());
    }
    // A failed write keeps the history in memory; the store retries it with
    // the next change. Nothing is reported to the user.
    userDefaults_.set(calculationsKey, entries);
}

#include "Calvaro/engine/CalcManager.h"

#include <memory>

#include "platform/foundation/SharedSlot.h"

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
    if (auto stored = userDefaults_.array(calculationsKey)) {
        for (const Value& item : *stored) {
            const auto* dict = item.dictionary();
            if (!dict) {
                // Not a list of dictionaries as a whole: treated as no history.
                loaded.clear();
                break;
            }
            loaded.emplace_back(*dict);
        }
    }
    if (loaded.empty()) {
        userDefaults_.remove(calculationsKey);
        calculations_.clear();
        saveCalculations();
    }
    return loaded;
}

std::optional<Calculation> CalcManager::storedCalculation(const std::string& key) const {
    if (auto dict = userDefaults_.dictionary(key)) return Calculation(*dict);
    return std::nullopt;
}

void CalcManager::saveCalculations() {
    // A failed write keeps the history in memory; the store retries it with
    // the next change. Nothing is reported to the user.
    userDefaults_.set(calculationsKey, calculationDictionaries());
}

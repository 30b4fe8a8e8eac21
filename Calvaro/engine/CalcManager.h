#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/Calculation.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

// The example exercise every new user finds in the history: a logarithmic
// function with base 2 at the point x = 1.
const std::map<std::string, std::string>& exampleInputParameters();
const foundation::Value::Dictionary& exampleSetupParameter();
Calculation exampleCalculation();

// The history of solved exercises, newest first, and the two current records,
// kept in the standard user defaults:
//   "Calculations"               list of Calculation dictionaries, newest first
//   "CurrentSelectedCalculation" the record the user chose to reopen, if any
//   "CurrentCalculation"         read at creation only
// Every change of the history is saved at once, within historyBound. Main
// thread only.
class CalcManager {
public:
    static constexpr const char* calculationsKey = "Calculations";
    static constexpr const char* currentSelectedCalculationKey = "CurrentSelectedCalculation";
    static constexpr const char* currentCalculationKey = "CurrentCalculation";
    // What the history may take of its preferences file, whose reader refuses
    // the whole file past its bounds: a sixteenth of them, some 2,600 records
    // as the Calculate screen stores them. The oldest records give way.
    static constexpr foundation::PropertyListSize historyBound = foundation::kSalvagedListBound;
    // Written once, when the first start has been prepared; never removed, so
    // clearing the history does not bring the example back.
    static constexpr const char* exampleSeededKey = "didSeedExampleCalculation";

    // The shared store over the standard user defaults, created on first use;
    // its creation loads the history and prepares the first start.
    static CalcManager& shared();
    // Drops the shared store; the next shared() builds a new one over the
    // current home. For tests and for the launcher after it set the home.
    static void resetShared();

    // Loads the history and the current records from `userDefaults`.
    explicit CalcManager(foundation::UserDefaults userDefaults);

    // On the very first start (nothing recorded yet, not even an old
    // history), resets the history to the example exercise. Returns whether
    // it did.
    bool prepareFirstStart();

    const foundation::UserDefaults& userDefaults() const { return userDefaults_; }
    // Kept from older versions; read by nothing.
    const std::string& persistKey() const { return persistKey_; }

    const std::vector<Calculation>& calculations() const { return calculations_; }
    const std::optional<Calculation>& currentCalculation() const { return currentCalculation_; }
    void setCurrentCalculation(std::optional<Calculation> calculation) {
        currentCalculation_ = std::move(calculation);
    }
    const std::optional<Calculation>& currentSelectedCalculation() const {
        return currentSelectedCalculation_;
    }
    // Set the record first, then call saveCurrentSelectedCalculation.
    void setCurrentSelectedCalculation(std::optional<Calculation> calculation) {
        currentSelectedCalculation_ = std::move(calculation);
    }

    // Inserts at position 0 and saves the history.
    void addCalculation(const Calculation& calculation);
    // Removes the record at `index` and saves. An index outside the list is
    // ignored (false), so a stale row from a screen cannot crash the store.
    bool removeCalculation(int64_t index);
    // Moves the record at `source` to `destination`, the records between
    // shifting by one, and saves. Ignored (false) unless both are positions
    // of the list.
    bool moveCalculation(int64_t source, int64_t destination);
    // Empties the history and stores it as an empty list (the key stays).
    void clearHistory();
    // Empties the history and seeds it with the example exercise.
    void resetHistory();

    // Stores currentSelectedCalculation, or removes its key when there is none.
    void saveCurrentSelectedCalculation();

    // The dictionary form of every record, in list order: what every save writes.
    foundation::Value::List calculationDictionaries() const;
    // The history as stored. Entries that are not records, records past
    // historyBound on their own (or a stored value that is not a list) are
    // set aside with their bytes and left out; a missing or empty history is
    // rewritten as an empty list.
    std::vector<Calculation> loadCalculations();
    // Writes entries of the stored history that are not records to
    // "<domain>.Calculations.plist.damaged..." beside the preferences.
    bool setAsideUnreadableEntries(const foundation::Value::List& entries);
    // The record stored under `key`, or none when the key holds no dictionary.
    std::optional<Calculation> storedCalculation(const std::string& key) const;

private:
    // Saves the history, its oldest records first giving way to its bound.
    void saveCalculations();
    // How many of `entries`, from the newest, stay within historyBound.
    static size_t recordsWithinBound(const foundation::Value::List& entries);

    foundation::UserDefaults userDefaults_;
    std::string persistKey_;
    std::vector<Calculation> calculations_;
    std::optional<Calculation> currentCalculation_;
    std::optional<Calculation> currentSelectedCalculation_;
    bool hadStoredHistory_ = false;  // "Calculations" existed before this store loaded it
};

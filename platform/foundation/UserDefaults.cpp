#include "platform/foundation/UserDefaults.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/DataLoss.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/StoredFileRoom.h"

namespace foundation {
namespace fs = std::filesystem;

namespace {

// The bound its owner stated for a domain's file.
std::optional<StoredFileBound> userDefaultsBound(const std::string& domain) {
    auto bound = storedFileBound(domain);
    if (!bound && domain == UserDefaults::standardDomainName()) bound = storedFileBound(kStandardDomainBoundName);
    return bound;
}

}  // namespace

class PreferencesStore::Domain {
public:
    Domain(std::string name, fs::path file) : name_(std::move(name)), file_(std::move(file)) {}

    const std::string& name() const { return name_; }
    const fs::path& file() const { return file_; }

    // Runs `fn` on the loaded values under the domain's lock.
    template <typename Fn>
    auto withValues(Fn&& fn) {
        std::lock_guard lock(mutex_);
        if (!loaded_) load();
        return fn(values_);
    }

    enum class Saved { kWritten, kFailed, kRefused };

    // Writes the values; call with the lock held (from inside withValues).
    // Values the reader of the file would refuse are not written (kRefused):
    // the file keeps what it held, and the caller takes its change back.
    Saved save(const Value::Dictionary& values) {
        StoredFileScope scope(userDefaultsBound(name_));
        PropertyListRefusal refusal;
        auto xml = propertyListXml(Value(values), &refusal);
        if (!xml && refusal.pastBounds) {
            std::fprintf(stderr, "preferences: not writing %s: %s; the file keeps its last values\n",
                         file_.c_str(), refusal.why.c_str());
            return Saved::kRefused;
        }
        std::string error = refusal.why;
        dirty_ = !xml || !FileSystem::writeAtomically(file_, *xml, &error);
        // Named by its file: a later write of the same file that succeeds
        // stores everything it held.
        const std::string lost = "preferences file " + file_.string();
        if (dirty_) {
            std::fprintf(stderr, "preferences: cannot write %s: %s\n", file_.c_str(), error.c_str());
            DataLoss::note(lost, 1, "failed writes of its latest values");
        } else {
            DataLoss::recovered(lost);
        }
        return dirty_ ? Saved::kFailed : Saved::kWritten;
    }

    bool dirty() const { return dirty_; }

    // Room for a change that the file's bound refused, by the bound's
    // order: values of lower standing give way, the largest first, and are
    // kept aside in a file of their own. False, with nothing taken away,
    // when the change itself would have to give way (or the domain has no
    // bound), or what gives way cannot be kept aside.
    bool makeRoom(Value::Dictionary& values, const std::string& changed) {
        const auto bound = userDefaultsBound(name_);
        const auto giving = bound ? storedFileGivingWay(values, *bound, changed) : std::nullopt;
        if (!giving) return false;
        // Kept before they leave the file; without a copy they stay.
        auto xml = propertyListXml(Value(giving->given));
        auto aside = xml ? FileSystem::keepAside(file_, *xml) : std::nullopt;
        if (!aside) {
            std::fprintf(stderr, "preferences: %s is at its bound and what would give way cannot be kept aside\n",
                         file_.c_str());
            return false;
        }
        applyGivingWay(values, *giving);
        std::fprintf(stderr, "preferences: %s is at its bound; %zu values of lower standing give way, kept as %s\n",
                     file_.c_str(), giving->given.size(), aside->c_str());
        return true;
    }

    // A change that could not be stored: said, and the process's end says so.
    void refused(const std::string& key) {
        std::fprintf(stderr, "preferences: \"%s\" is not stored in %s\n", key.c_str(), file_.c_str());
        DataLoss::note("changes of preferences file " + file_.string(), 1, "changes past its bound");
    }

private:
    void load() {
        loaded_ = true;
        StoredFileScope scope(userDefaultsBound(name_));
        // What a killed writer of the file left beside it.
        FileSystem::removeLeftTemporaryFiles(file_);
        std::error_code ec;
        if (!fs::exists(file_, ec)) return;
        std::string bytes;
        PropertyListRefusal refusal;
        const bool read = FileSystem::readFile(file_, bytes);
        if (read) {
            if (auto parsed = parsePropertyList(bytes, &refusal); parsed && parsed->dictionary()) {
                values_ = std::move(*parsed->dictionary());
                return;
            }
        }
        // What can still be read of it is kept, within the bounds. The file
        // stays in place until what is kept of it is written: a kill at any
        // moment of the salvage leaves it to the next start.
        const auto size = fs::file_size(file_, ec);
        const bool tooLarge = !read && !ec && size > kMaximumPropertyListBytes;
        if (tooLarge) refusal = {true, std::to_string(size) + " bytes, more than the reader takes"};
        const auto bound = userDefaultsBound(name_);
        const PropertyListSalvagePlan plan = bound ? storedFileSalvagePlan(*bound) : PropertyListSalvagePlan();
        values_ = read       ? salvagePropertyListDictionary(bytes, plan)
                  : tooLarge ? salvagePropertyListFile(file_, plan)
                             : Value::Dictionary{};
        // Starting afresh writes the file: only once the old bytes are safe.
        if (!setAside(refusal)) {
            values_.clear();
            return;
        }
        if (!values_.empty())
            std::fprintf(stderr, "preferences: %zu readable values of %s kept\n", values_.size(), file_.c_str());
        save(values_);
    }

    // Keeps an unreadable file for inspection instead of overwriting it.
    bool setAside(const PropertyListRefusal& refusal) {
        auto aside = FileSystem::keepAsideInPlace(file_);
        const char* what = refusal.pastBounds ? "past the reader's bounds" : "damaged";
        const std::string why = refusal.why.empty() ? "" : " (" + refusal.why + ")";
        if (aside) {
            std::fprintf(stderr, "preferences: %s is %s%s; kept as %s, starting afresh\n", file_.c_str(), what,
                         why.c_str(), aside->c_str());
        } else {
            std::fprintf(stderr, "preferences: %s is %s%s and cannot be moved aside\n", file_.c_str(), what,
                         why.c_str());
        }
        return aside.has_value();
    }

    const std::string name_;
    const fs::path file_;
    std::mutex mutex_;
    bool loaded_ = false;
    bool dirty_ = false;
    Value::Dictionary values_;
};

namespace {

// Domain names become file names: keep them inside the folder.
std::string fileNameFor(const std::string& domain) {
    std::string name = domain;
    for (char& c : name) {
        if (c == '/' || c == '\0') c = '_';
    }
    if (name.empty() || name == "." || name == "..") name = "_" + name;
    return name + ".plist";
}

}  // namespace

PreferencesStore::PreferencesStore(fs::path directory) : directory_(std::move(directory)) {}
PreferencesStore::~PreferencesStore() = default;

std::shared_ptr<PreferencesStore> PreferencesStore::shared() {
    static std::mutex mutex;
    static std::shared_ptr<PreferencesStore> store;
    std::lock_guard lock(mutex);
    fs::path directory = FileSystem::preferencesDirectory();
    if (!store || store->directory() != directory) store = std::make_shared<PreferencesStore>(directory);
    return store;
}

std::shared_ptr<PreferencesStore::Domain> PreferencesStore::domain(const std::string& name) {
    std::lock_guard lock(mutex_);
    auto& slot = domains_[name];
    if (!slot) slot = std::make_shared<Domain>(name, directory_ / fileNameFor(name));
    return slot;
}

std::string UserDefaults::standardDomainName() {
    auto identifier = Bundle::main().bundleIdentifier();
    return identifier && !identifier->empty() ? *identifier : "calvaro";
}

UserDefaults UserDefaults::standard() {
    return UserDefaults(std::string());
}

UserDefaults::UserDefaults(const std::string& suiteName)
    : UserDefaults(PreferencesStore::shared(), suiteName.empty() ? standardDomainName() : suiteName) {}

UserDefaults::UserDefaults(const std::shared_ptr<PreferencesStore>& store, const std::string& domainName)
    : domain_(store->domain(domainName)) {}

const std::string& UserDefaults::domainName() const {
    return domain_->name();
}
const fs::path& UserDefaults::filePath() const {
    return domain_->file();
}

Value UserDefaults::object(const std::string& key) const {
    return domain_->withValues([&](const Value::Dictionary& values) {
        auto it = values.find(key);
        return it == values.end() ? Value() : it->second;
    });
}

std::optional<bool> UserDefaults::boolValue(const std::string& key) const {
    return object(key).boolValue();
}
std::optional<int64_t> UserDefaults::integer(const std::string& key) const {
    return object(key).integerValue();
}
std::optional<double> UserDefaults::doubleValue(const std::string& key) const {
    return object(key).doubleValue();
}
std::optional<Date> UserDefaults::date(const std::string& key) const {
    return object(key).date();
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    Value v = object(key);
    if (auto s = v.string()) return *s;
    return std::nullopt;
}

std::optional<Value::Bytes> UserDefaults::data(const std::string& key) const {
    Value v = object(key);
    if (auto b = v.bytes()) return *b;
    return std::nullopt;
}

std::optional<Value::List> UserDefaults::array(const std::string& key) const {
    Value v = object(key);
    if (auto l = v.list()) return std::move(*l);
    return std::nullopt;
}

std::optional<Value::Dictionary> UserDefaults::dictionary(const std::string& key) const {
    Value v = object(key);
    if (auto d = v.dictionary()) return std::move(*d);
    return std::nullopt;
}

bool UserDefaults::set(const std::string& key, const Value& value) {
    if (key.empty()) return false;
    if (value.isAbsent() || value.isNull()) return remove(key);
    // Check the value on its own first: a value without a property-list form
    // must not get into memory, where it would block every later write.
    PropertyListRefusal refusal;
    if (!propertyListXml(value, &refusal)) {
        if (refusal.pastBounds) {
            std::fprintf(stderr, "preferences: not storing \"%s\" in %s: %s\n", key.c_str(),
                         domain_->name().c_str(), refusal.why.c_str());
            DataLoss::note("changes of preferences file " + filePath().string(), 1, "changes past its bound");
        }
        return false;
    }
    return domain_->withValues([&](Value::Dictionary& values) {
        auto [slot, added] = values.try_emplace(key);
        Value previous = std::exchange(slot->second, value);
        auto saved = domain_->save(values);
        if (saved == PreferencesStore::Domain::Saved::kRefused && domain_->makeRoom(values, key))
            saved = domain_->save(values);
        if (saved == PreferencesStore::Domain::Saved::kRefused) {
            domain_->refused(key);
            if (added) {
                values.erase(slot);
            } else {
                slot->second = std::move(previous);
            }
        }
        return saved == PreferencesStore::Domain::Saved::kWritten;
    });
}

bool UserDefaults::remove(const std::string& key) {
    if (key.empty()) return false;
    return domain_->withValues([&](Value::Dictionary& values) {
        if (values.erase(key) == 0 && !domain_->dirty()) return true;
        return domain_->save(values) == PreferencesStore::Domain::Saved::kWritten;
    });
}

std::vector<std::string> UserDefaults::keys() const {
    return domain_->withValues([](const Value::Dictionary& values) {
        std::vector<std::string> out;
        out.reserve(values.size());
        for (const auto& [key, value] : values) out.push_back(key);
        return out;
    });
}

Value::Dictionary UserDefaults::dictionaryRepresentation() const {
    return domain_->withValues([](const Value::Dictionary& values) { return values; });
}

bool UserDefaults::removeAll() {
    return domain_->withValues([&](Value::Dictionary& values) {
        if (values.empty() && !domain_->dirty()) return true;
        values.clear();
        return domain_->save(values) == PreferencesStore::Domain::Saved::kWritten;
    });
}

bool UserDefaults::synchronize() {
    return domain_->withValues(
        [&](Value::Dictionary& values) {
            return !domain_->dirty() || domain_->save(values) == PreferencesStore::Domain::Saved::kWritten;
        });
}

}  // namespace foundation

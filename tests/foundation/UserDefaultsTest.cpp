#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/foundation/TempFolder.h"

namespace fs = std::filesystem;
using foundation::PreferencesStore;
using foundation::UserDefaults;
using foundation::Value;

class UserDefaultsTest : public TempFolderTest {
protected:

    // A fresh store over the same folder: what the next process start sees.
    UserDefaults reopen(const std::string& domain) {
        return UserDefaults(std::make_shared<PreferencesStore>(dir_), domain);
    }
    void writeRaw(const std::string& domain, const std::string& bytes) {
        fs::create_directories(dir_);
        std::ofstream(dir_ / (domain + ".plist"), std::ios::binary) << bytes;
    }

    const fs::path dir_ = root_ / "Library" / "Preferences";
};

TEST_F(UserDefaultsTest, ValuesSurviveARestartWithTheirTypes) {
    const std::pair<const char*, Value> values[] = {
        {"isOnboardingFinished", true}, {"counterForRating", 4}, {"ratio", 0.1 + 0.2}, {"name", "Calvaro"},
        {"history", Value::List{Value::Dictionary{{"latexString", "f(x)"}}}},
    };
    {
        auto defaults = reopen("app");
        for (const auto& [key, value] : values) EXPECT_TRUE(defaults.set(key, value)) << key;
        EXPECT_TRUE(defaults.set("gone", 1) && defaults.remove("gone"));
    }
    auto defaults = reopen("app");
    for (const auto& [key, value] : values) EXPECT_EQ(defaults.object(key), value) << key;
    EXPECT_EQ(defaults.boolValue("isOnboardingFinished"), true);  // a bool, not the integer 1
    EXPECT_TRUE(defaults.object("gone").isAbsent());
}

TEST_F(UserDefaultsTest, TypedReadsOfAnotherTypeAreAbsent) {
    // A hand-edited file: every key holds something other than expected.
    writeRaw("app", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>flag</key><integer>1</integer>
  <key>count</key><true/>
  <key>text</key><real>2.5</real>
  <key>list</key><dict/>
  <key>dict</key><array/>
  <key>data</key><string>AQID</string>
</dict></plist>)");
    auto defaults = reopen("app");
    EXPECT_FALSE(defaults.boolValue("flag") || defaults.integer("count") || defaults.string("text"));
    EXPECT_FALSE(defaults.array("list") || defaults.dictionary("dict") || defaults.data("data"));
    EXPECT_FALSE(defaults.date("count"));
    EXPECT_EQ(defaults.integer("flag"), 1);  // the real types still read
    EXPECT_EQ(defaults.doubleValue("text"), 2.5);
}

TEST_F(UserDefaultsTest, DamagedFileIsSetAsideAndOnlyItsSuiteStartsAfresh) {
    const std::string good = *foundation::propertyListXml(Value::Dictionary{{"keep", 7}});
    const struct {
        const char* name;
        std::string bytes;
    } damages[] = {
        {"truncated", good.substr(0, good.size() - 20)},
        {"wrong root", *foundation::propertyListXml(Value::List{1, 2})}, {"garbage", "\x00\x01garbage"},
        {"empty", ""},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.name);
        fs::remove_all(dir_);
        writeRaw("other", good);
        writeRaw("suite", damage.bytes);

        auto suite = reopen("suite");
        EXPECT_TRUE(suite.object("keep").isAbsent());
        std::string kept;
        ASSERT_TRUE(foundation::FileSystem::readFile(dir_ / "suite.plist.damaged", kept));
        EXPECT_EQ(kept, damage.bytes);
        EXPECT_TRUE(suite.set("fresh", true));
        EXPECT_EQ(reopen("suite").boolValue("fresh"), true);

        EXPECT_EQ(reopen("other").integer("keep"), 7);
        // A second damage is kept beside the first, never over it.
        writeRaw("suite", "second damage");
        reopen("suite").keys();
        ASSERT_TRUE(foundation::FileSystem::readFile(dir_ / "suite.plist.damaged-1", kept));
        EXPECT_EQ(kept, "second damage");
    }
}

// The temporary files of a writer killed before its rename go at the next
// load of their domain; those of a writer that still runs, and files that
// only look alike, stay.
TEST_F(UserDefaultsTest, TemporaryFilesOfAKilledWriterGoAtTheNextLoad) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string dead = std::to_string(child), alive = std::to_string(::getpid());
    writeRaw("app", "");
    fs::remove(dir_ / "app.plist");
    struct Row {
        std::string name;
        bool removed;
    };
    const Row rows[] = {
        {"app.plist.tmp-" + dead + "-0", true},
        {"app.plist.tmp-" + dead + "-17", true},
        {"app.plist.tmp-" + alive + "-3", false},
        {"app.plist.tmp-" + dead + "-x", false},
        {"app.plist.tmp-" + dead, false},
        {"other.plist.tmp-" + dead + "-0", false},
    };
    for (const Row& row : rows) std::ofstream(dir_ / row.name) << "partial";
    EXPECT_TRUE(reopen("app").keys().empty());
    for (const Row& row : rows) EXPECT_EQ(!fs::exists(dir_ / row.name), row.removed) << row.name;
}

// Files that once ended every start (a stack overflow, libplist's assertion):
// each is read in a child, which must set the file aside and live.
TEST_F(UserDefaultsTest, HostileFilesAreSetAsideWithoutEndingTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < 100'000; ++i) deep += "<array>";
    const std::string nul = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><string>a" +
                            std::string(1, '\0') + "b</string></dict></plist>";
    for (const std::string* bytes : std::initializer_list<const std::string*>{&deep, &nul}) {
        fs::remove_all(dir_);
        writeRaw("suite", *bytes);
        EXPECT_EXIT(
            {
                const bool empty = reopen("suite").keys().empty();
                std::string kept;
                const bool aside = foundation::FileSystem::readFile(dir_ / "suite.plist.damaged", kept);
                std::exit(empty && aside && kept == *bytes ? 0 : 1);
            },
            testing::ExitedWithCode(0), "damaged")
            << bytes->size() << " bytes";
    }
}

TEST_F(UserDefaultsTest, HandlesShareTheirDomainSuitesStaySeparateAndRefusedWritesChangeNothing) {
    auto store = std::make_shared<PreferencesStore>(dir_);
    UserDefaults one(store, "app"), two(store, "app"), suite(store, "MSRAnalyticsSuiteName");
    EXPECT_TRUE(one.set("k", "v"));
    EXPECT_EQ(two.string("k"), "v");
    EXPECT_TRUE(suite.object("k").isAbsent());
    EXPECT_FALSE(one.set("", 1) || one.set("b", Value::List{Value::null()}));
    EXPECT_EQ(reopen("app").keys(), std::vector<std::string>{"k"});
    EXPECT_TRUE(one.set("k", Value::null()));  // null removes
    EXPECT_TRUE(two.keys().empty());
    suite.set("x", 1);
    EXPECT_TRUE(one.removeAll());
    EXPECT_EQ(suite.integer("x"), 1);
}

TEST_F(UserDefaultsTest, UnwritableFolderKeepsValuesInMemoryAndSynchronizeRetries) {
    fs::create_directories(dir_.parent_path());
    std::ofstream(dir_) << "a file where the folder should be";
    auto defaults = reopen("app");
    EXPECT_FALSE(defaults.set("k", 1));
    EXPECT_EQ(defaults.integer("k"), 1);
    EXPECT_FALSE(defaults.synchronize());
    fs::remove(dir_);
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(reopen("app").integer("k"), 1);
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNothing) {
    auto store = std::make_shared<PreferencesStore>(dir_);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([store, t] {
            UserDefaults defaults(store, "app");
            for (int i = 0; i < 25; ++i) defaults.set("k" + std::to_string(t) + "-" + std::to_string(i), i);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(reopen("app").keys().size(), 100u);
}

TEST_F(UserDefaultsTest, StandardStoreFollowsTheHomeAndTheBundleIdentifier) {
    fs::path before = foundation::FileSystem::home();
    foundation::FileSystem::setHome(root_);
    auto standard = UserDefaults::standard();
    EXPECT_EQ(standard.filePath(), dir_ / "org.calvaro.Calvaro.plist");
    standard.set("k", 1);
    EXPECT_EQ(UserDefaults("").integer("k"), 1);
    EXPECT_EQ(reopen("org.calvaro.Calvaro").integer("k"), 1);
    foundation::FileSystem::setHome(before);
}

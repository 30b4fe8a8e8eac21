// Two starts of the real engine within the session's time, under an
// allowlist that leaves "_s" out, are one session: the second start neither
// begins a session nor takes the dropped "_s" for one a kill took. The
// session is read where the engine keeps it: the "_sid" user property in the
// database and the session number in the measurement dictionary.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"

namespace {

class SessionUnderAllowlistProcessTest : public DriverTest {
  protected:
    SessionUnderAllowlistProcessTest() : DriverTest("session-under-allowlist") {}

    // One run of the driver to its end: sessions begun as the application
    // begins them, only the allowlist's events stored.
    void runOnce(const std::vector<std::string>& allowlist) {
        std::vector<std::string> more{"--count", "1", "--sessions"};
        if (!allowlist.empty()) {
            std::string names;
            for (const std::string& name : allowlist) names += (names.empty() ? "" : ",") + name;
            more.insert(more.end(), {"--allowlist", names});
        }
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments(more));
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
    // When the session's "_sid" was set, as the database file says.
    double sessionSetTime() {
        return static_cast<double>(
            storedCount(root.path(), "SELECT CAST(set_timestamp * 1000000 AS INTEGER) FROM user_attributes "
                                     "WHERE name = '_sid'"));
    }
};

TEST_F(SessionUnderAllowlistProcessTest, TwoStartsWithinTheTimeoutAreOneSession) {
    struct Case {
        const char* label;
        std::vector<std::string> allowlist;
        int64_t sessionStartsStored;
    };
    const std::vector<Case> cases = {{"an allowlist without _s", {"e2e_event"}, 0},
                                     {"an allowlist with _s", {"e2e_event", "_s"}, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(root.path() / "Library");
        std::filesystem::remove_all(root.path().string() + ".keychain");
        runOnce(c.allowlist);
        const double began = sessionSetTime();
        ASSERT_GT(began, 0) << "the first start began no session" << consoleTail();
        EXPECT_EQ(storedDictionaryValue(root.path(), "session_number"), std::optional<std::string>("1"));

        runOnce(c.allowlist);
        EXPECT_EQ(sessionSetTime(), began) << "the second start began a session" << consoleTail();
        EXPECT_EQ(storedDictionaryValue(root.path(), "session_number"), std::optional<std::string>("1"));
        EXPECT_EQ(storedCount(root.path(), "SELECT count(*) FROM raw_events WHERE name = '_s'") +
                      std::max<int64_t>(0, storedCount(root.path(), "SELECT lifetime_count FROM events WHERE name = '_s'")),
                  c.sessionStartsStored);
    }
}

}  // namespace

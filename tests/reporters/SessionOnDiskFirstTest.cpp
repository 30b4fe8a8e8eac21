// A session begun when the application becomes active is in the measurement
// dictionary's file before its "_s" reaches the engine: a process ended
// before the event's commit can leave the session unrecorded, never recorded
// with a dictionary that does not know of it (the next start would begin it
// a second time).

#include <fstream>
#include <sstream>

#include "ReportersHarness.h"

#include "analytics/reporters/MSRSessionReporter.h"
#include "analytics/storage/MSRFilePaths.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/ui/Application.h"

namespace {

class SessionOnDiskFirstTest : public ReportersTest {
  protected:
    SessionOnDiskFirstTest() {
        startReporters();
        reporter_ = MSRSessionReporter::currentOrMake();
    }
    // The session number the dictionary's file holds, as another reader of
    // the file sees it; nothing when it holds none.
    static std::optional<std::string> sessionNumberOnDisk() {
        std::ifstream in(MSRSDKPlistPath(MSRPersistedConfig::kSuiteName));
        std::stringstream file;
        file << in.rdbuf();
        const std::string text = file.str();
        const size_t key = text.find("<key>/zevure/measurement/session_number</key>");
        if (key == std::string::npos) return std::nullopt;
        const size_t open = text.find("<integer>", key);
        const size_t close = text.find("</integer>", open);
        if (open == std::string::npos || close == std::string::npos) return std::nullopt;
        return text.substr(open + 9, close - open - 9);
    }

    std::shared_ptr<MSRSessionReporter> reporter_;
};

TEST_F(SessionOnDiskFirstTest, EachSessionIsWrittenBeforeItsStartIsHandedOver) {
    reporter_->setReportingEnabled(true);
    for (int session = 1; session <= 2; ++session) {
        SCOPED_TRACE(session);
        ui::Application::shared().becomeActive();
        // Nothing moved the clock: the dictionary's delayed write has not come.
        ASSERT_EQ(events({"_s"}).size(), static_cast<size_t>(session));
        EXPECT_EQ(sessionNumberOnDisk(), std::to_string(session));
        // Past the session's time, the next activation begins the next one.
        ui::Application::shared().enterBackground();
        executor().advanceBy(4000);
    }
}

}  // namespace

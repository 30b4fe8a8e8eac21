#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// The console underneath the engine's logging: it has a level (error 3,
// warning 4, notice 5, debug 7), answers whether a level would be printed and
// prints one line per message as
//   <category>[<code text>] <message>
// The message arrives as a format without arguments, so "%%" prints as "%".
// It prints as it stands, line breaks included: values from outside in it
// were escaped where they entered it (MSRLogContext); the category prints
// escaped.
// Lines go to standard error unless a sink is installed (tests capture them).
class MSRConsoleLogger {
public:
    static constexpr int kLevelError = 3;
    static constexpr int kLevelWarning = 4;
    static constexpr int kLevelNotice = 5;
    static constexpr int kLevelDebug = 7;

    using Sink = std::function<void(const std::string& line)>;

    // The process's console, created on first use at level notice.
    static MSRConsoleLogger& shared();
    // The same console for holders that log from queued work: they keep it
    // alive for as long as they may still write to it.
    static std::shared_ptr<MSRConsoleLogger> sharedPointer();

    explicit MSRConsoleLogger(Sink sink = {});

    void setLoggerLevel(int level) { level_.store(level, std::memory_order_relaxed); }
    int loggerLevel() const { return level_.load(std::memory_order_relaxed); }
    bool isLoggableLevel(int level) const { return level <= loggerLevel(); }

    // Prints the line when the level is loggable or `force` is set.
    void logBasic(int level, std::string_view subsystem, std::string_view category, bool force,
                  std::string_view codeText, std::string_view format);

    void setSink(Sink sink);

    // The line that logBasic prints, without the newline.
    static std::string formatLine(std::string_view category, std::string_view codeText,
                                  std::string_view format);

private:
    std::atomic<int> level_{kLevelNotice};
    std::mutex sinkMutex_;
    Sink sink_;
};

#pragma once
// Shared helpers of the wire-message tests: a log collector, file and golden
// helpers and protoc as the outside reader of our encodings.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBLog.h"

// Collects the wire layer's log lines for one test.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    const std::vector<std::string>& lines() const { return *lines_; }
    bool contains(const std::string& fragment) const;
    void clear() { lines_->clear(); }

private:
    std::shared_ptr<std::vector<std::string>> lines_;
};

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::string goldenPath(const std::string& name);
std::string scratchPath(const std::string& name);

// protoc --decode / --encode with our proto files; nullopt when protoc fails
// or is not installed.
bool protocAvailable();
std::optional<std::string> protocDecode(const std::string& protoFile, const std::string& message,
                                        const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> protocEncode(const std::string& protoFile, const std::string& message,
                                                 const std::string& text);

// Compares with a golden file; CALVARO_UPDATE_GOLDEN=1 rewrites it instead.
void expectMatchesGolden(const std::string& name, const std::vector<uint8_t>& bytes);

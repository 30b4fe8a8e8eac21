#pragma once
// Shared helpers of the wire-message tests: a monitor whose reports the test
// reads, golden files and protoc as the outside reader of our encodings.

#include <algorithm>
#include <functional>

#include "analytics/support/MSRMonitor.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/reference/NANOReferenceCodec.h"
#include "platform/dispatch/ManualExecutor.h"

using Bytes = std::vector<uint8_t>;

// Installs, for one test, a monitor whose reports the test reads.
class LogCapture {
  public:
    LogCapture() { MSRMonitor::setShared(MSRMonitor::initWithLogLevel(6, sink_, 110100)); }
    ~LogCapture() { MSRMonitor::setShared(nullptr); }
    // The reports so far, each as "<code> <message>".
    const std::vector<std::string>& lines() { return executor_.runUntilIdle(), sink_->reports; }
    bool contains(const std::string& part) {
        return std::ranges::any_of(
            lines(), [&](const std::string& line) { return line.find(part) != std::string::npos; });
    }

  private:
    struct Sink : MSRLogging {
        std::vector<std::string> reports;
        void logMessage(const std::string& message, const std::string&, int64_t code, int64_t) override {
            reports.push_back(std::to_string(code) + " " + message);
        }
    };
    dispatch::ManualExecutor executor_;
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
};

// A message built from (field index, value) pairs, each set with the accessor
// that the field's kind calls for: numbers (bool, enum and integers from
// int64_t), text, lists of scalars, nested messages and lists of messages.
using FieldValue = std::variant<int64_t, double, std::string, std::vector<MSRPBValue>, NANOMessageBase,
                                std::vector<NANOMessageBase>>;
using Fields = std::vector<std::pair<uint32_t, FieldValue>>;
NANOMessageBase build(const MSRPBMessageType& type, const Fields& fields);
template <typename T>
T build(const Fields& fields) {
    return T(build(T::type(), fields));
}

// Our reading of a message in protoc's text format (fields in tag order,
// nested messages indented by two spaces), so that it can be compared with
// what protoc --decode reads from the same bytes. Strings are not escaped.
std::string textFormat(const NANOMessageBase& message, const std::string& indent = "");

// `bytes` with one byte flipped, inserted or deleted, or cut short (by
// `round`), at a place drawn from `state`: the same sequence every run.
Bytes mutated(const Bytes& bytes, uint64_t& state, int round);

Bytes readGolden(const std::string& name);
// Compares with a golden file; CALVARO_UPDATE_GOLDEN=1 rewrites it instead.
void expectMatchesGolden(const std::string& name, const Bytes& bytes);

// protoc --decode or --encode (`mode`) of `input` with our proto files (protoc
// is a build requirement); nullopt when protoc fails.
std::optional<std::string> protoc(const char* mode, const std::string& protoFile, const std::string& message,
                                  const std::string& input);

// The values one run puts into every field of its kind. Cells are set on the
// message info directly, so single floats and out-of-range scalars (a bool
// whose low byte is zero, an int32 cell with high bits) are covered too.
struct Profile {
    const char* name;
    uint64_t scalar;
    std::string text;
    size_t elements;  // per repeated field
};
// Every field of the message set from the profile, nested messages to `depth` levels.
void fill(NANOMessageInfo& info, const Profile& profile, int depth);

// A length-delimited field `key` holding `payload`, and parts laid end to end.
Bytes lengthDelimited(uint8_t key, const Bytes& payload);
Bytes concat(std::initializer_list<Bytes> parts);

// The indexes of the type's repeated message fields.
std::vector<uint32_t> repeatedMessageFields(const MSRPBMessageType& type);

// How one decoder ended an input: success, the cells, and what it reported.
struct DecodeOutcome {
    bool ok;
    NANOMessageInfoPtr info;
    std::vector<std::string> log;
};
using Decoder = std::function<bool(NANOMessageInfo&, const uint8_t*, size_t)>;
DecodeOutcome decodeWith(const Decoder& decoder, const MSRPBMessageType& type, const Bytes& bytes);
// Holds `candidate` to `reference` on `bytes`: the same success and log lines,
// and equal cells where both succeed. Returns the candidate's outcome.
DecodeOutcome expectSameDecode(const Decoder& reference, const Decoder& candidate, const MSRPBMessageType& type,
                               const Bytes& bytes, const std::string& label);

#pragma once

// An event waiting for the engine's worker, in one block of bytes: its origin,
// name and time, and its parameters when they are all of the usual scalar
// kinds. A burst then costs a few hundred bytes per event instead of a tree of
// nodes per parameter; a dictionary holding anything else waits as it is.
// Reading gives back exactly what was packed.

#include <cstdint>
#include <memory>
#include <string>

#include "analytics/model/MSRValue.h"

class MSRPackedEvent {
  public:
    MSRPackedEvent(const std::string& origin, const std::string& name, double timestamp,
                   const MSRObjectDictionary& parameters);
    // The same from plain values, as a public call gives them.
    MSRPackedEvent(const std::string& origin, const std::string& name, double timestamp,
                   const foundation::Value::Dictionary& parameters);

    std::string origin() const;
    std::string name() const;
    double timestamp() const;
    MSRObjectDictionary parameters() const;

  private:
    enum class Kind : char;
    template <typename Dictionary>
    void packAll(const std::string& origin, const std::string& name, double timestamp,
                 const Dictionary& parameters);
    void pack(const std::string& name, const MSRObject& object);
    void pack(const std::string& name, const foundation::Value& value);
    void put(Kind kind, const std::string& name);
    void putVarint(uint64_t number);
    uint64_t varint(size_t& at) const;
    void putInteger(int64_t number);
    int64_t integer(size_t& at) const;
    void putText(const std::string& value);
    std::string text(size_t& at) const;
    void skipText(size_t& at) const;
    void putDouble(double number);
    double readDouble(size_t& at) const;
    // Where the parameters start.
    size_t parametersAt() const;

    std::string bytes_;
    std::shared_ptr<const MSRObjectDictionary> whole_;
};

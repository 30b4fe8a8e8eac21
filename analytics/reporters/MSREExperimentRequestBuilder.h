#pragma once

// Keeps the registration records of the client libraries and builds the
// request the task manager posts: the application's description and one part
// per library that has a diversion key.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "analytics/messages/MSRPBMessages.h"

class MSRESDKProperty;

class MSREExperimentRequestBuilder {
  public:
    static MSREExperimentRequestBuilder& sharedInstance();

    // A later record under the same name replaces the earlier; null is refused (logged).
    void addSDKProperty(std::shared_ptr<MSRESDKProperty> property);
    // Forgets every record (for tests and a new engine in the same process).
    void removeAllSDKProperties();

    // Built afresh on every call.
    MSRPBAppProperty appPropertyProto() const;
    MSRPBExperimentRequest request() const;

  private:
    // Registration runs on the manager's queue and the request on the task
    // manager's: the records are shared under this lock.
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<MSRESDKProperty>> clientPropertyBySDKName_;
};

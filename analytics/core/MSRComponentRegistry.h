#pragma once

// The one place where the measurement engine and its facade get their
// collaborators: the engine itself, audiences, the session, search-ads and
// screen-view reporters, the experiments manager, the TCF client, conditional
// user properties, lifetime value, event sampling, the event editor and the
// identity.
//
// Each collaborator has a neutral default (MSRNeutralComponent<T>, defined in
// MSRComponentRegistry.cpp) that leaves the event road untouched. A module
// above the engine replaces one by registering a maker from an explicit call
// made at the application's start (no static initialisers: the linker may drop
// them, and their order is unknown). Tests register their fakes the same way;
// foundation::resetAllSharedSlots() brings every default back.
//
// The engine and the facade never construct a collaborator themselves: they
// ask make<T>() with what they have at hand.

#include <functional>
#include <memory>

#include "analytics/core/MSRMeasurementInterface.h"
#include "platform/foundation/SharedSlot.h"

class MSRAudience;
class MSRConditionalUserPropertyController;
class MSRDatabase;
class MSRDeepLinkHandler;
class MSREManager;
class MSREventSampler;
class MSRIdentityInterface;
class MSRLifetimeValueRecorder;
class MSRMeasurement;
class MSRNetworkComponent;
class MSRPrivateSetMembershipClientClass;
class MSRPEventEditing;
class MSRPersistedConfig;
class MSRRemoteConfig;
class MSRScreenViewReporterInterface;
class MSRSearchAdReporter;
class MSRSessionReporterInterface;
class MSRTCFClient;
namespace dispatch {
class Queue;
}

// What a maker may build its collaborator on; members the asking code does not
// have are null.
struct MSRComponentContext {
    std::shared_ptr<MSRDatabase> database;
    std::shared_ptr<MSRPersistedConfig> persistedConfig;
    // The engine's settings and the engine itself, for collaborators that
    // work on its worker queue (held weakly: the engine owns them).
    std::shared_ptr<MSRRemoteConfig> remoteConfig;
    std::weak_ptr<MSRMeasurement> engine;
    // The engine's worker queue and network component, for collaborators
    // that run on the one and send through the other.
    std::shared_ptr<dispatch::Queue> workerQueue;
    std::shared_ptr<MSRNetworkComponent> network;
    // Only for the engine itself.
    MSRMeasurementStartParameters startParameters;
};

// The default of T, used while no maker is registered: the engine's own view
// of the collaborator (its base class, whose answers leave the event road
// untouched: the search-ads reporter, conditional user properties, lifetime
// value, sampling; the TCF client's base is the client itself). A null answer is a valid default where
// the asking code treats "none" as the neutral behaviour.
template <class T>
std::shared_ptr<T> MSRNeutralComponent(const MSRComponentContext&) {
    return std::make_shared<T>();
}

// The collaborators whose default is another, defined in
// MSRComponentRegistry.cpp. A new collaborator whose default is not its
// default-constructed base adds its line here.
template <> std::shared_ptr<MSRMeasurementInterface> MSRNeutralComponent(const MSRComponentContext&);
template <> std::shared_ptr<MSRAudience> MSRNeutralComponent(const MSRComponentContext&);
template <> std::shared_ptr<MSRScreenViewReporterInterface> MSRNeutralComponent(const MSRComponentContext&);
template <> std::shared_ptr<MSREManager> MSRNeutralComponent(const MSRComponentContext&);
template <> std::shared_ptr<MSRPEventEditing> MSRNeutralComponent(const MSRComponentContext&);
template <> std::shared_ptr<MSRIdentityInterface> MSRNeutralComponent(const MSRComponentContext&);
template <> std::shared_ptr<MSRDeepLinkHandler> MSRNeutralComponent(const MSRComponentContext&);
template <> std::shared_ptr<MSRPrivateSetMembershipClientClass> MSRNeutralComponent(const MSRComponentContext&);

class MSRComponentRegistry {
public:
    template <class T>
    using Maker = std::function<std::shared_ptr<T>(const MSRComponentContext&)>;

    // Replaces how T is made; an empty maker brings the neutral default back.
    template <class T>
    static void registerMaker(Maker<T> maker) {
        slot<T>().set(maker ? std::make_shared<const Maker<T>>(std::move(maker)) : nullptr);
    }

    // Every later ask for T answers `instance` (null included: then there is
    // none, as in tests that run the facade without an engine).
    template <class T>
    static void registerInstance(std::shared_ptr<T> instance) {
        registerMaker<T>([instance = std::move(instance)](const MSRComponentContext&) { return instance; });
    }

    // A collaborator from the registered maker, else the neutral default.
    template <class T>
    static std::shared_ptr<T> make(const MSRComponentContext& context = {}) {
        // Called outside the slot's lock: a maker may ask for other collaborators.
        if (auto maker = slot<T>().get()) return (*maker)(context);
        return MSRNeutralComponent<T>(context);
    }

private:
    template <class T>
    static foundation::SharedSlot<const Maker<T>>& slot() {
        static foundation::SharedSlot<const Maker<T>> instance;
        return instance;
    }
};

// The remote content as it arrives: a fetch answer through the host's remote
// configuration, activated, then every loader of the application's content
// (apps, ads, offers, consent reference data, video tutorials), and the video
// tile that cuts each tutorial address for the player. The input is the
// answer's body; nothing may crash, whatever it holds.

#include "Calvaro/services/RemoteConfigManager.h"
#include "Calvaro/services/VideoCollectionViewCell.h"
#include "fuzz/FuzzInput.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/host/DEDRemoteConfig.h"
#include "platform/net/FakeNetwork.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The shapes that matter fit in a few kilobytes; longer inputs only slow
    // every run down and are kept out of the corpus.
    if (size > 16 * 1024) return -1;
    static dispatch::ManualExecutor executor;
    static auto network = std::make_shared<net::FakeNetwork>();
    network->clearRequests();
    net::FakeNetwork::Reply reply;
    reply.body.assign(data, data + size);
    network->enqueueReply(std::move(reply));

    host::DEDRemoteConfig::Configuration configuration;
    configuration.fetchURL = "http://127.0.0.1:1/content";
    configuration.network = network;
    auto remoteConfig = std::make_shared<host::DEDRemoteConfig>(configuration);
    remoteConfig->fetchWithExpirationDuration(0, {});
    executor.runUntilIdle();
    remoteConfig->activateWithCompletion({});
    executor.runUntilIdle();

    // The loaders read each key's text as JSON of its own: the same bytes
    // reach one of them (picked by the last byte) as that key's value even
    // when the answer is no entries object. One a run, not all five: the
    // fuzzer covers them all over its runs, five times as fast.
    static const char* const keys[] = {"apps", "ads", "offers", "cmpReferenceData", "videoTutorials"};
    foundation::Value::Dictionary defaults;
    if (size > 0) defaults[keys[data[size - 1] % 5]] = std::string(fuzz::text(data, size));
    auto fallback = std::make_shared<host::DEDRemoteConfig>();
    fallback->setDefaults(defaults);

    auto manager = std::make_shared<RemoteConfigManager>(remoteConfig);
    manager->loadAll(*remoteConfig);
    manager->loadAll(*fallback);
    (void)manager->singleApps();
    (void)manager->multiApps();
    auto tile = std::make_shared<VideoCollectionViewCell>();
    tile->loadVideo(std::string(fuzz::text(data, size)));
    for (const auto& address : manager->videoUrlStrings(CalculationType::powerAndLogarithmicFunction))
        tile->loadVideo(address);
    executor.runUntilIdle();
    return 0;
}

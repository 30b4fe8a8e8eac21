// The remote content as it arrives: a fetch answer through the host's remote
// configuration, activated, then every loader of the application's content
// (apps, ads, offers, consent reference data, video tutorials), and the video
// tile that cuts each tutorial address for the player. The input is the
// answer's body, or a description of a large one (fuzz/AnswerCost.h);
// nothing may crash, whatever it holds, nor cost more memory or CPU time than
// the answer's size allows.

#include "Calvaro/services/RemoteConfigManager.h"
#include "Calvaro/services/VideoCollectionViewCell.h"
#include "fuzz/AnswerCost.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/host/DEDRemoteConfig.h"
#include "platform/net/FakeNetwork.h"

namespace {

void arrive(dispatch::ManualExecutor& executor, const std::shared_ptr<net::FakeNetwork>& network,
            const std::string& answer) {
    network->clearRequests();
    net::FakeNetwork::Reply reply;
    reply.body.assign(answer.begin(), answer.end());
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
    if (!answer.empty()) defaults[keys[static_cast<uint8_t>(answer.back()) % 5]] = answer;
    auto fallback = std::make_shared<host::DEDRemoteConfig>();
    fallback->setDefaults(defaults);

    auto manager = std::make_shared<RemoteConfigManager>(remoteConfig);
    manager->loadAll(*remoteConfig);
    manager->loadAll(*fallback);
    (void)manager->singleApps();
    (void)manager->multiApps();
    auto tile = std::make_shared<VideoCollectionViewCell>();
    tile->loadVideo(answer);
    for (const auto& address : manager->videoUrlStrings(CalculationType::powerAndLogarithmicFunction))
        tile->loadVideo(address);
    executor.runUntilIdle();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The shapes that matter fit in a few kilobytes, or are described in a
    // few bytes (fuzz/AnswerCost.h); longer inputs only slow every run down
    // and are kept out of the corpus.
    if (size > 16 * 1024) return -1;
    static dispatch::ManualExecutor executor;
    static auto network = std::make_shared<net::FakeNetwork>();
    static fuzz::AnswerWatch watch;
    const std::string answer = fuzz::expandAnswer(data, size, host::kDEDRemoteConfigMaximumResponseBytes);
    watch.run(fuzz::answerShape("remote content", answer), answer, [&] { arrive(executor, network, answer); });
    return 0;
}


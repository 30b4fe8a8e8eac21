// collector: a loopback HTTP server that prints every request it receives.
//
//   collector [--port N] [--status CODE] [--delay SECONDS] [--experiments IDS]
//
// It listens on 127.0.0.1 only; port 0 (the default) picks a free port, which
// is printed first. Uploads to "/a" are decoded as measurement batches (the
// line then counts their bundles and events); configuration requests are
// answered 404, so the engine keeps its default settings; the attribution
// endpoints answer "nothing to apply", no deferred deep link and "not
// attributed" (AttributionCollector.h). Every other request is answered with
// CODE (default 200) after SECONDS (default 0). With --experiments (IDs
// separated by commas, e.g. 0,5,7) "/sdk-exp" answers one snapshot of the
// measurement client holding those experiments; without it 204. Stop it with
// Ctrl-C.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/collector/AttributionCollector.h"
#include "tools/collector/Collector.h"
#include "tools/collector/MeasurementCollector.h"

int main(int argc, char** argv) {
    int port = 0;
    tools::ScriptedReply reply;
    std::optional<std::vector<int32_t>> experimentIDs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--port" && hasValue) {
            port = std::atoi(argv[++i]);
        } else if (arg == "--status" && hasValue) {
            reply.status = std::atoi(argv[++i]);
        } else if (arg == "--delay" && hasValue) {
            reply.delaySeconds = std::atof(argv[++i]);
        } else if (arg == "--experiments" && hasValue) {
            experimentIDs.emplace();
            std::string list = argv[++i];
            for (size_t start = 0; start <= list.size();) {
                size_t end = list.find(',', start);
                if (end == std::string::npos) end = list.size();
                if (end > start) experimentIDs->push_back(std::atoi(list.substr(start, end - start).c_str()));
                start = end + 1;
            }
        } else {
            std::fprintf(stderr,
                         "usage: %s [--port N] [--status CODE] [--delay SECONDS] [--experiments IDS]\n",
                         argv[0]);
            return 2;
        }
    }
    if (port < 0 || port > 65535 || reply.status < 100 || reply.status > 599) {
        std::fprintf(stderr, "collector: port must be 0-65535 and status 100-599\n");
        return 2;
    }

    // Signals are taken by sigwait below, not by a handler on some server thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    tools::Collector collector;
    collector.setDefaultReply(reply);
    tools::MeasurementCollector measurement(collector);
    if (experimentIDs) {
        measurement.setExperimentResponse(
            tools::MeasurementCollector::makeExperimentResponse("rov_idarurozaro", *experimentIDs));
    }
    tools::AttributionCollector attribution(collector);
    collector.setRequestLogger([](const tools::RecordedRequest& request, int status) {
        std::string contents;
        std::vector<tools::CollectedBundle> bundles;
        if (request.path == tools::MeasurementCollector::kUploadPath &&
            tools::MeasurementCollector::decodeBatch(request.body, bundles)) {
            size_t events = 0;
            for (const auto& bundle : bundles) events += bundle.events.size();
            contents = ", " + std::to_string(bundles.size()) + " bundles, " + std::to_string(events) + " events";
        }
        std::printf("%s %s%s%s -> %d, %zu body bytes%s%s\n", request.method.c_str(), request.path.c_str(),
                    request.query.empty() ? "" : "?", request.query.c_str(), status, request.body.size(),
                    request.wasGzip ? " (gzip, inflated)" : "", contents.c_str());
        std::fflush(stdout);
    });
    std::string error;
    if (!collector.start(port, &error)) {
        std::fprintf(stderr, "collector: %s\n", error.c_str());
        return 1;
    }
    std::printf("collector listening on %s\n", collector.baseURL().c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&signals, &received);
    collector.stop();
    std::printf("collector: %zu events accepted; %zu repeated bundles (%zu events) dropped by their "
                "(app instance id, bundle index)\n",
                measurement.acceptedEventCount(), measurement.repeatedBundleCount(),
                measurement.repeatedEventCount());
    return 0;
}

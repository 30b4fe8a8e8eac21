#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/ProcessEnd.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/dispatch/TimedSemaphore.h"
#include "platform/net/CurlNetwork.h"
#include "tools/collector/Collector.h"

// Time-outs, refused connections, GET and the statuses the engine compares
// are covered over this network by the analytics network component's tests.

namespace net {
namespace {

constexpr size_t kLimit = 1 << 20;

std::vector<uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// One request's answer, collected on the request's queue.
struct Outcome {
    dispatch::TimedSemaphore done;
    std::atomic<int> calls{0};
    std::atomic<bool> onGivenQueue{false};
    Response response;
    std::string body;
    std::optional<Error> error;

    Completion completion(const std::shared_ptr<dispatch::Queue>& queue) {
        return [this, queue](const auto& r, const auto& b, const auto& e) {
            onGivenQueue = queue->isCurrent();
            std::tie(response, body, error) = std::tuple(r, std::string(b.begin(), b.end()), e);
            ++calls;
            done.signal();
        };
    }
    // The completion has run once; a second call queued behind it would show.
    void wait(const std::shared_ptr<dispatch::Queue>& queue) {
        ASSERT_TRUE(done.wait(60));
        queue->sync([] {});
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(onGivenQueue);
    }
};

class CurlNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(collector.start(0, &error)) << error;
    }
    std::string url(const std::string& path) { return collector.baseURL() + path; }

    tools::Collector collector;
    std::shared_ptr<dispatch::SerialQueue> queue = dispatch::SerialQueue::create("com.calvaro.test.network");
};

TEST_F(CurlNetworkTest, PassesStatusHeadersAndBodiesThrough) {
    CurlNetwork network;
    collector.scriptReply("/a", {429, "slow down", {{"X-Answer", "yes"}}, 0});
    Outcome outcome;
    network.postURL(url("/a?tag=1"), {{"X-Client", "calvaro"}}, bytes("payload"), kLimit, queue, false,
                    outcome.completion(queue));
    outcome.wait(queue);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(outcome.response.statusCode, 429);
    EXPECT_EQ(outcome.body, "slow down");
    EXPECT_EQ(outcome.response.headers["x-answer"], "yes");  // names compare without case
    auto requests = collector.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path + "?" + requests[0].query, "/a?tag=1");
    EXPECT_EQ(requests[0].headers["x-client"], "calvaro");
}

TEST_F(CurlNetworkTest, CompressesPostBodiesWhenConfigured) {
    std::string payload(20000, 'x');
    for (size_t i = 0; i < payload.size(); i += 7) payload[i] = static_cast<char>('a' + i % 26);
    for (bool gzip : {true, false}) {
        SCOPED_TRACE(gzip ? "gzip" : "plain");
        collector.clearRequests();
        NetworkConfiguration configuration;
        configuration.gzipRequestBodies = gzip;
        CurlNetwork network(configuration);
        Outcome outcome;
        network.postURL(url("/a"), {}, bytes(payload), kLimit, queue, false, outcome.completion(queue));
        outcome.wait(queue);
        auto requests = collector.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].wasGzip, gzip);
        EXPECT_EQ(std::string(requests[0].body.begin(), requests[0].body.end()), payload);
        EXPECT_EQ(std::stoul(requests[0].headers["content-length"]) < payload.size(), gzip);
    }
}

TEST_F(CurlNetworkTest, RefusesWhatTheConfigurationDoesNotAllow) {
    struct Case {
        std::vector<std::string> hosts, schemes;
        std::string url;
    };
    // clang-format off
    const Case cases[] = {
        {{}, {"https", "http"}, "https://example.com/a"},                     // outside host by default
        {{"measure.example.org"}, {"https"}, "https://example.com/a"},        // host not in the list
        {{"measure.example.org"}, {"http"}, url("/a")},                       // loopback not in a configured list
        {{}, {"https"}, url("/a")},                                           // scheme not allowed
        {{}, {"https", "http"}, "::not a url::"},
    };
    // clang-format on
    int calls = 0;
    auto count = [&](const auto&, const auto&, const auto&) { ++calls; };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        NetworkConfiguration configuration;
        configuration.allowedHosts = c.hosts;
        configuration.allowedSchemes = c.schemes;
        CurlNetwork network(configuration);
        EXPECT_EQ(network.postURL(c.url, {}, bytes("x"), kLimit, queue, false, count), "");
        EXPECT_EQ(network.getURL(c.url, {}, kLimit, queue, false, count), "");
        EXPECT_FALSE(network.hasUploadInProgress());
    }
    EXPECT_EQ(CurlNetwork().getURL(url("/a"), {}, kLimit, nullptr, false, count), "");  // no queue: nothing starts
    queue->sync([] {});
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(collector.requests().empty());
}

TEST_F(CurlNetworkTest, UploadStaysInProgressUntilItsCompletionRuns) {
    CurlNetwork network;
    collector.scriptReply("/a", {204, "", {}, 0});
    Outcome outcome;
    std::atomic<bool> busyInCompletion{true};
    auto completion = outcome.completion(queue);
    queue->async([&] {
        network.postURL(url("/a"), {}, bytes("x"), kLimit, queue, true,
                        [&](const auto& r, const auto& b, const auto& e) {
                            busyInCompletion = network.hasUploadInProgress();
                            completion(r, b, e);
                        });
        // Still on the queue: the answer cannot have been handled yet.
        EXPECT_TRUE(network.hasUploadInProgress());
    });
    outcome.wait(queue);
    EXPECT_FALSE(busyInCompletion);
    EXPECT_EQ(outcome.response.statusCode, 204);
}

TEST_F(CurlNetworkTest, DestroyingTheNetworkCancelsTransfersWithOneCompletion) {
    collector.scriptReply("/slow", {200, "", {}, 60});
    Outcome outcome;
    {
        CurlNetwork network;
        network.getURL(url("/slow"), {}, kLimit, queue, false, outcome.completion(queue));
        ASSERT_TRUE(collector.waitForRequests(1, 30));
    }
    outcome.wait(queue);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, Error::kCancelled);
}

// An upload whose answer comes only after the queues have ended (the network
// goes with the process's statics, cancelling it) is left unheard. Nothing is
// lost, as the caller keeps what it sent until an answer, so the end says
// nothing of it; other work queued after the end is still told as dropped.
TEST_F(CurlNetworkTest, AnAnswerLeftUnheardAtTheEndIsNotToldAsDroppedWork) {
    struct Reopen {
        ~Reopen() { dispatch::reopenQueuesForTesting(); }
    } reopen;
    collector.scriptReply("/upload", {204, "", {}, 60});
    Outcome outcome;
    auto network = std::make_unique<CurlNetwork>();
    ASSERT_FALSE(network->postURL(url("/upload"), {}, bytes("bundle"), kLimit, queue, false, outcome.completion(queue))
                     .empty());
    ASSERT_TRUE(collector.waitForRequests(1, 30));
    ASSERT_TRUE(dispatch::endQueues(60));
    testing::internal::CaptureStderr();
    network.reset();
    dispatch::SerialQueue::create("com.calvaro.test.network.late")->async([] {});
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome.calls, 0);
    EXPECT_EQ(said, "dispatch: work queued on 'com.calvaro.test.network.late' after the end of the queues was dropped\n");
}

// A server that streams an endless body without announcing its length: only
// a limit checked while the body arrives can stop it. Counts what it wrote.
class EndlessServer {
public:
    EndlessServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) return;
            char request[4096];
            (void)::recv(client, request, sizeof request, 0);
            const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
            (void)::send(client, head.data(), head.size(), MSG_NOSIGNAL);
            const std::vector<char> chunk(64 * 1024, 'x');
            while (written_ < kEnough) {
                ssize_t n = ::send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                if (n <= 0) break;
                written_ += static_cast<size_t>(n);
            }
            ::close(client);
        });
    }
    ~EndlessServer() {
        ::shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/content"; }
    size_t written() const { return written_; }

    static constexpr size_t kEnough = size_t{300} << 20;

private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<size_t> written_{0};
};

TEST_F(CurlNetworkTest, BodiesPastTheRequestsLimitAreRefusedAsTheyArrive) {
    CurlNetwork network;
    const std::string atLimit(1000, 'a');
    collector.scriptReply("/exact", {200, atLimit, {}, 0});
    collector.scriptReply("/over", {200, atLimit + "b", {}, 0});
    Outcome exact, over;
    network.getURL(url("/exact"), {}, atLimit.size(), queue, false, exact.completion(queue));
    network.postURL(url("/over"), {}, bytes("x"), atLimit.size(), queue, false, over.completion(queue));
    exact.wait(queue);
    over.wait(queue);
    EXPECT_FALSE(exact.error);
    EXPECT_EQ(exact.body, atLimit);
    ASSERT_TRUE(over.error);
    EXPECT_EQ(over.error->code, Error::kResponseTooLarge);
    EXPECT_EQ(over.response.statusCode, 200);  // the server's status stays
    EXPECT_TRUE(over.body.empty());

    // Without a length announced, the transfer ends once the limit is
    // passed: the server gets to write far less than it would.
    EndlessServer endless;
    Outcome streamed;
    network.getURL(endless.url(), {}, size_t{1} << 20, queue, false, streamed.completion(queue));
    streamed.wait(queue);
    ASSERT_TRUE(streamed.error);
    EXPECT_EQ(streamed.error->code, Error::kResponseTooLarge) << streamed.error->description;
    EXPECT_TRUE(streamed.body.empty());
    EXPECT_LT(endless.written(), EndlessServer::kEnough / 4);
}

TEST(NetworkHeaderLinesTest, StatusLinesStartOverAndNamesAndValuesAreTrimmed) {
    Headers headers;
    for (const char* line : {"HTTP/1.1 100 Continue\r\n", "X-Early: 1\r\n", "HTTP/1.1 200 OK\r\n",
                             "Content-Type :  text/plain \r\n", "ETag: \"a:b\"\r\n", "no colon here\r\n", "\r\n"})
        addResponseHeaderLine(line, headers);
    EXPECT_EQ(headers, (Headers{{"Content-Type", "text/plain"}, {"ETag", "\"a:b\""}}));
}

TEST(NetworkReachabilityTest, ConnectedUntilATestSaysOtherwiseAndOnlyChangesAreTold) {
    struct : ReachabilityDelegate {
        int changes = 0;
        void reachabilityDidChange() override { ++changes; }
    } delegate;
    CurlNetwork network;
    network.setReachabilityDelegate(&delegate);
    for (bool connected : {true, false, false}) network.setNetworkConnected(connected);
    EXPECT_FALSE(network.isNetworkConnected());
    network.setReachabilityDelegate(nullptr);
    network.setNetworkConnected(true);
    EXPECT_TRUE(network.isNetworkConnected());
    EXPECT_EQ(delegate.changes, 1);
}

}  // namespace
}  // namespace net

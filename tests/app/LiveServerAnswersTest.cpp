// The live server as a browser meets it, in this process: requests on the
// wire to a server over a window of its own, the main thread pumping.

#include "app/LiveServer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/Button.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "tests/support/LoopbackSockets.h"

namespace {

// One request over a connection of its own, and the whole answer (the
// server closes the connection after it): empty when none came in time.
std::string exchangeOnce(int port, const std::string& request) {
    const int fd = connectToLoopback(port);
    if (fd < 0) return "";
    std::string answer;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[65536];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return answer;
}

int statusOf(const std::string& answer) {
    return answer.size() > 12 && answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

// A header line of the answer's head, exactly as sent.
bool headHas(const std::string& answer, const std::string& line) {
    return answer.substr(0, answer.find("\r\n\r\n") + 2).find("\r\n" + line + "\r\n") != std::string::npos;
}

struct WireCase {
    std::string name;
    std::string request;
    int status;
};

// A live server over a window with one button, answering what the tests send
// from another thread while this one pumps the main queue as calvaro does.
class LiveServerAnswersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto screen = std::make_shared<ui::ViewController>();
        auto button = std::make_shared<ui::Button>();
        button->setTitle("Count");
        button->addTarget(ui::ControlEvent::touchUpInside, [this](ui::Control&) { ++taps_; });
        screen->view()->addSubview(button);
        window_ = std::make_shared<ui::Window>();
        window_->setRootViewController(screen);
        window_->makeKeyAndVisible();
        std::string error;
        ASSERT_TRUE(server_.start(0, error)) << error;
        host_ = "Host: 127.0.0.1:" + std::to_string(server_.port()) + "\r\n";
        origin_ = "Origin: http://127.0.0.1:" + std::to_string(server_.port()) + "\r\n";
    }
    void TearDown() override {
        server_.stop();
        window_.reset();
    }

    // The answers to `cases`, in order.
    std::vector<std::string> answersTo(const std::vector<WireCase>& cases) {
        std::vector<std::string> answers(cases.size());
        std::atomic<bool> done{false};
        std::thread client([&] {
            for (size_t i = 0; i < cases.size(); ++i) answers[i] = exchangeOnce(server_.port(), cases[i].request);
            done = true;
        });
        server_.pump([&] { return done.load(); });
        client.join();
        return answers;
    }

    std::string get(const std::string& target, const std::string& extra = "") {
        return "GET " + target + " HTTP/1.1\r\n" + host_ + extra + "Connection: close\r\n\r\n";
    }
    std::string secretHeader() { return std::string(app::LiveServer::kSecretHeader) + ": " + server_.secret() + "\r\n"; }
    std::string action(const std::string& line) {
        return "POST /action HTTP/1.1\r\n" + host_ + origin_ + secretHeader() + "Content-Type: " +
               app::LiveServer::kActionType + "\r\n" + app::LiveServer::kTokenHeader + ": " + server_.token() +
               "\r\nContent-Length: " + std::to_string(line.size()) + "\r\nConnection: close\r\n\r\n" + line;
    }

    ui::Driver driver_;
    app::LiveServer server_{driver_};
    std::shared_ptr<ui::Window> window_;
    std::string host_, origin_;
    int taps_ = 0;
};

// The first visit's query opens the server with the secret itself only:
// another, a part of it, it in other letters or with more after it is
// refused as no secret is.
TEST_F(LiveServerAnswersTest, OnlyTheSecretItselfInTheQueryOpensThePage) {
    const std::string secret = server_.secret();
    ASSERT_GE(secret.size(), 32u);
    std::string upper = secret, other = secret;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    ASSERT_NE(upper, secret) << "a secret of digits only";
    other[5] = other[5] == '0' ? '1' : '0';
    const std::vector<WireCase> cases = {
        {"the secret", get("/?secret=" + secret), 200},
        {"another secret", get("/?secret=" + other), 403},
        {"its first half", get("/?secret=" + secret.substr(0, secret.size() / 2)), 403},
        {"all but its last digit", get("/?secret=" + secret.substr(0, secret.size() - 1)), 403},
        {"in capitals", get("/?secret=" + upper), 403},
        {"with a digit more", get("/?secret=" + secret + "0"), 403},
        {"empty", get("/?secret="), 403},
        {"none", get("/"), 403},
    };
    const std::vector<std::string> answers = answersTo(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(statusOf(answers[i]), cases[i].status) << answers[i].substr(0, 300);
    }
}

// The page's addresses carry the secret: no answer of the server, whatever
// its kind, lets a browser send them on as a Referer.
TEST_F(LiveServerAnswersTest, EveryAnswerSendsNoReferrer) {
    const std::string secret = server_.secret();
    const std::string katex = "/s/" + secret + "/katex/";
    const std::vector<WireCase> cases = {
        {"the page", get("/?secret=" + secret), 200},
        {"its state", get("/state", secretHeader()), 200},
        {"an action", action("tap Count"), 200},
        {"an action that cannot be done", action("tap Nothing"), 409},
        {"a malformed action", action("fly away"), 400},
        {"a library file that is not there", get(katex + "none.js"), 404},
        {"a method not allowed", "DELETE /state HTTP/1.1\r\n" + host_ + secretHeader() + "Connection: close\r\n\r\n",
         405},
        {"no secret", get("/state"), 403},
        {"another page's request", get("/state", secretHeader() + "Origin: http://evil.example\r\n"), 403},
        {"another host", "GET /state HTTP/1.1\r\nHost: evil.example\r\n" + secretHeader() + "Connection: close\r\n\r\n",
         421},
    };
    const std::vector<std::string> answers = answersTo(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(statusOf(answers[i]), cases[i].status) << answers[i].substr(0, 300);
        EXPECT_TRUE(headHas(answers[i], "Referrer-Policy: no-referrer")) << answers[i].substr(0, 300);
    }
    EXPECT_EQ(taps_, 1);
}

}  // namespace

#include "platform/net/CurlNetwork.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <list>
#include <thread>

#include "platform/security/Compression.h"

namespace net {

namespace {

// Message codes of the network component, reported to the logger delegate.
constexpr int64_t kCodeHostNotAllowed = 91001;
constexpr int64_t kCodeCompressionFailed = 91002;
constexpr int64_t kCodeTransportFailed = 91003;
constexpr int64_t kCodeFinished = 91004;
constexpr int64_t kCodeNoQueue = 91005;

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

// Checks the scheme and host of `url` against the configuration. Nothing may
// leave the machine that was not configured.
bool allowed(const NetworkConfiguration& configuration, const std::string& url, std::string* why) {
    CURLU* handle = curl_url();
    if (!handle) {
        *why = "out of memory";
        return false;
    }
    char* scheme = nullptr;
    char* host = nullptr;
    bool ok = curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
              curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
              curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK;
    std::string schemeText = scheme ? lowercase(scheme) : "";
    std::string hostText = host ? lowercase(host) : "";
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(handle);
    if (!ok) {
        *why = "cannot parse URL " + url;
        return false;
    }
    if (hostText.size() > 2 && hostText.front() == '[' && hostText.back() == ']') {
        hostText = hostText.substr(1, hostText.size() - 2);
    }
    if (std::find(configuration.allowedSchemes.begin(), configuration.allowedSchemes.end(), schemeText) ==
        configuration.allowedSchemes.end()) {
        *why = "scheme not allowed: " + schemeText;
        return false;
    }
    static const std::vector<std::string> kLoopback{"127.0.0.1", "localhost", "::1"};
    const auto& hosts = configuration.allowedHosts.empty() ? kLoopback : configuration.allowedHosts;
    for (const auto& candidate : hosts) {
        if (lowercase(candidate) == hostText) return true;
    }
    *why = "host not allowed: " + hostText;
    return false;
}

Error::Code errorCode(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return Error::kTimedOut;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return Error::kCannotConnect;
        case CURLE_ABORTED_BY_CALLBACK:
            return Error::kCancelled;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return Error::kBadURL;
        default:
            return Error::kTransport;
    }
}

struct Transfer {
    std::vector<uint8_t> body;
    Headers headers;
    size_t headerBytes = 0;
    long statusFromLine = 0;  // libcurl has none yet when a header callback ends the transfer
    size_t maximumBodyBytes = 0;
    // Why the transfer was ended from a callback, when it was.
    std::string tooLarge;
    const std::atomic<bool>* stopping = nullptr;
};

// Returning less than was given ends the transfer with CURLE_WRITE_ERROR.
size_t writeBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (length > transfer->maximumBodyBytes - transfer->body.size()) {
        transfer->tooLarge = "the response body is larger than " + std::to_string(transfer->maximumBodyBytes) + " bytes";
        return 0;
    }
    transfer->body.insert(transfer->body.end(), data, data + length);
    return length;
}

size_t writeHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    std::string_view line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
        transfer->headerBytes = 0;
        // "HTTP/1.1 200 OK": the three digits after the first blank.
        size_t blank = line.find(' ');
        transfer->statusFromLine = 0;
        for (size_t i = blank + 1; blank != std::string_view::npos && i < line.size() && i < blank + 4; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(line[i]))) break;
            transfer->statusFromLine = transfer->statusFromLine * 10 + (line[i] - '0');
        }
    }
    transfer->headerBytes += length;
    if (transfer->headerBytes > kMaximumResponseHeaderBytes) {
        transfer->tooLarge = "the response headers are larger than " + std::to_string(kMaximumResponseHeaderBytes) + " bytes";
        return 0;
    }
    addResponseHeaderLine(line, transfer->headers);
    // A body announced past the limit is refused before any of it arrives.
    if (auto announced = transfer->headers.find("Content-Length"); announced != transfer->headers.end()) {
        const std::string& text = announced->second;
        const bool digits = !text.empty() && text.size() <= 19 &&
                            std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
        if (digits && std::stoull(text) > transfer->maximumBodyBytes) {
            transfer->tooLarge = "the response announces " + text + " bytes, more than the limit of " +
                                 std::to_string(transfer->maximumBodyBytes);
            return 0;
        }
    }
    return length;
}

int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* transfer = static_cast<Transfer*>(user);
    return transfer->stopping->load() ? 1 : 0;
}

}  // namespace

void addResponseHeaderLine(std::string_view line, Headers& headers) {
    if (line.rfind("HTTP/", 0) == 0) {
        headers.clear();  // a new response (after 100-continue): forget the earlier one
    } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
        headers[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
}

struct CurlNetwork::Shared {
    std::atomic<bool> stopping{false};
    std::atomic<int> uploadsInFlight{0};
    std::atomic<bool> debug{false};
    mutable std::mutex mutex;
    // Held while the delegate is called, so that once setLoggerDelegate has
    // replaced it no worker is still inside the old one (its owner may go).
    std::mutex loggerMutex;
    LoggerDelegate* logger = nullptr;
    unsigned long long nextSession = 1;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    std::list<Worker> workers;

    void log(int level, int64_t code, const std::string& message) {
        std::lock_guard<std::mutex> lock(loggerMutex);
        if (logger) logger->networkLog(level, code, message);
    }

    void reapLocked() {
        for (auto it = workers.begin(); it != workers.end();) {
            if (it->finished->load()) {
                it->thread.join();
                it = workers.erase(it);
            } else {
                ++it;
            }
        }
    }
};

CurlNetwork::CurlNetwork(NetworkConfiguration configuration, std::string reachabilityHost)
    : Network(configuration.timeoutInterval),
      configuration_(std::move(configuration)),
      reachabilityHost_(std::move(reachabilityHost)),
      shared_(std::make_shared<Shared>()) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlNetwork::~CurlNetwork() {
    shared_->stopping = true;
    std::list<Shared::Worker> workers;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        workers.swap(shared_->workers);
    }
    for (auto& worker : workers) worker.thread.join();
}

std::string CurlNetwork::postURL(const std::string& url, const Headers& headers, std::vector<uint8_t> payload,
                                 size_t maximumResponseBytes, std::shared_ptr<dispatch::Queue> queue, bool,
                                 Completion completionHandler) {
    return start(true, url, headers, std::move(payload), maximumResponseBytes, std::move(queue),
                 std::move(completionHandler));
}

std::string CurlNetwork::getURL(const std::string& url, const Headers& headers, size_t maximumResponseBytes,
                                std::shared_ptr<dispatch::Queue> queue, bool, Completion completionHandler) {
    return start(false, url, headers, {}, maximumResponseBytes, std::move(queue), std::move(completionHandler));
}

std::string CurlNetwork::start(bool isPost, const std::string& url, const Headers& headers,
                               std::vector<uint8_t> payload, size_t maximumResponseBytes,
                               std::shared_ptr<dispatch::Queue> queue, Completion completion) {
    if (!queue || !completion) {
        shared_->log(1, kCodeNoQueue, "Request without a queue or completion handler: " + url);
        return "";
    }
    std::string why;
    if (!allowed(configuration_, url, &why)) {
        shared_->log(1, kCodeHostNotAllowed, "Refusing request: " + why);
        return "";
    }
    Headers requestHeaders = headers;
    if (isPost && configuration_.gzipRequestBodies && !payload.empty()) {
        std::string error;
        auto compressed = security::gzip(payload, &error);
        if (!compressed) {
            shared_->log(1, kCodeCompressionFailed, "Cannot compress request body: " + error);
            return "";
        }
        payload = std::move(*compressed);
        requestHeaders["Content-Encoding"] = "gzip";
    }

    std::string sessionID;
    const double timeout = timeoutInterval();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->reapLocked();
    sessionID = "calvaro.network." + std::to_string(shared_->nextSession++);
    if (isPost) ++shared_->uploadsInFlight;

    auto shared = shared_;
    std::thread thread([shared, finished, isPost, url, requestHeaders, payload = std::move(payload),
                        maximumResponseBytes, queue = std::move(queue), completion = std::move(completion),
                        timeout]() mutable {
        Transfer transfer;
        transfer.stopping = &shared->stopping;
        transfer.maximumBodyBytes = maximumResponseBytes;
        Response response;
        response.url = url;
        std::optional<Error> error;

        CURL* curl = curl_easy_init();
        curl_slist* list = nullptr;
        char errorBuffer[CURL_ERROR_SIZE] = {0};
        if (!curl) {
            error = Error{Error::kTransport, "cannot create a transfer"};
        } else {
            for (const auto& [name, value] : requestHeaders) {
                list = curl_slist_append(list, (name + ": " + value).c_str());
            }
            if (isPost) {
                // An empty Expect stops curl from waiting for "100 Continue" on larger bodies.
                list = curl_slist_append(list, "Expect:");
                curl_easy_setopt(curl, CURLOPT_POST, 1L);
                curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.data());
                curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
            } else {
                curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
            }
            long timeoutMs = timeout > 0 ? static_cast<long>(std::ceil(std::min(timeout, 1e6) * 1000)) : 0;
            curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
            curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);  // redirects could lead off the allowed hosts
            curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
            curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
            curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, writeHeader);
            curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
            curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
            curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
            curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);

            CURLcode code = curl_easy_perform(curl);
            if (code == CURLE_OK || !transfer.tooLarge.empty()) {
                long status = 0;
                curl_off_t length = -1;
                curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
                curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
                response.statusCode = static_cast<int>(status != 0 ? status : transfer.statusFromLine);
                response.expectedContentLength = length;
                response.headers = std::move(transfer.headers);
                if (!transfer.tooLarge.empty()) {
                    error = Error{Error::kResponseTooLarge, "Refused: " + transfer.tooLarge};
                    transfer.body = {};
                }
            } else {
                std::string description = curl_easy_strerror(code);
                if (errorBuffer[0]) description += std::string(": ") + errorBuffer;
                error = Error{errorCode(code), description};
                transfer.body = {};
            }
            curl_slist_free_all(list);
            curl_easy_cleanup(curl);
        }

        if (error) {
            shared->log(3, kCodeTransportFailed, "Request failed: " + url + ": " + error->description);
        } else if (shared->debug) {
            shared->log(7, kCodeFinished, "Request finished: " + url + " status " + std::to_string(response.statusCode));
        }
        // The upload counts as in progress until its completion runs, so that a
        // caller never sees "idle" while the answer is still on its way.
        const bool delivered = queue->asyncUnlessEnded(
            [shared, isPost, completion = std::move(completion), response = std::move(response),
             body = std::move(transfer.body), error = std::move(error)] {
                if (isPost) --shared->uploadsInFlight;
                completion(response, body, error);
            });
        if (!delivered && isPost) --shared->uploadsInFlight;
        finished->store(true);
    });
    shared_->workers.push_back(Shared::Worker{std::move(thread), finished});
    return sessionID;
}

std::optional<std::string> CurlNetwork::refusalReason(const std::string& url) const {
    std::string why;
    if (allowed(configuration_, url, &why)) return std::nullopt;
    return why;
}

bool CurlNetwork::hasUploadInProgress() const { return shared_->uploadsInFlight.load() > 0; }

void CurlNetwork::setLoggerDelegate(LoggerDelegate* delegate) {
    std::lock_guard<std::mutex> lock(shared_->loggerMutex);
    shared_->logger = delegate;
}

void CurlNetwork::setIsDebugModeEnabled(bool enabled) { shared_->debug = enabled; }

}  // namespace net

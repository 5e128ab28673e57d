// Local render service: a stand-in for the remote render service that
// honours its HTTP contract (device-code sign-in, token refresh, account,
// instrument library, engine warm-up, renders and control curves). Tests
// start it in-process on a free loopback port and steer it; the
// marlune-service executable serves it to a plug-in in a host.
//
// The header deliberately avoids cpp-httplib and JSON headers so that
// JUCE-based code can include it without clashes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace marlune::service {

struct Instrument {
    std::string slug;
    std::string name;
    std::string description;
};

// "nylon-guitar", "felt-piano" and "cello-ensemble".
std::vector<Instrument> defaultInstruments();

struct TokenPair {
    std::string accessToken;
    std::string refreshToken;
};

struct LoggedRequest {
    std::string method;
    std::string path;    // without the query
    std::string target;  // path and query as sent
    // cpp-httplib hands headers over sorted by name (case-insensitively), so
    // the order of different names is not the order on the wire, and with
    // whitespace around values trimmed: "Authorization: Bearer " (an empty
    // token) is logged as "Bearer".
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // First value of the header (name compared case-insensitively), or "".
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

enum class FaultKind {
    Status,         // answer `status` with a small JSON error, route not run
    Delay,          // wait `delayMs`, then answer normally
    Drop,           // close the connection without any answer
    TruncatedWav,   // 200 with the route's reply cut short (a WAV keeps its header, loses half its data)
    NotWav,         // 200 with a body that is not a WAV file
    MalformedJson,  // 200 with a body that is not valid JSON
    FixedReply,     // answer `status` with `body` (JSON), route not run
};

struct Fault {
    FaultKind kind = FaultKind::Status;
    int status = 503;
    int delayMs = 0;
    int times = 1;  // how many requests to the path it applies to
    std::string body;  // FixedReply only
};

class RenderService {
public:
    struct Options {
        std::string host = "127.0.0.1";  // loopback only unless told otherwise
        int port = 0;                    // 0: pick a free port
        bool autoApprove = false;        // device codes count as approved at once
        double accessTokenLifetimeSeconds = 3600.0;
        // Renders answer 503 until the engine has been warming this long,
        // counted from the first warm-up request or render. 0: warm at once.
        double coldStartSeconds = 0.0;
        // Render latency: fixed part plus seconds of waiting per second of audio.
        double renderLatencyMs = 0.0;
        double renderLatencyFactor = 0.0;
        std::string email = "listener@marlune.local";
        std::vector<Instrument> instruments = defaultInstruments();
        std::size_t logCapacity = 10000;  // oldest entries are dropped beyond it
    };

    RenderService();
    explicit RenderService(Options options);
    ~RenderService();
    RenderService(const RenderService&) = delete;
    RenderService& operator=(const RenderService&) = delete;

    // Binds and starts serving on a background thread; returns once the
    // server accepts connections. False when the address cannot be bound.
    bool start();
    // Idempotent; the destructor calls it.
    void stop();
    bool isRunning() const;

    int port() const;
    std::string baseUrl() const;  // "http://127.0.0.1:PORT"
    const Options& options() const;

    // --- account
    bool approve(const std::string& deviceCode);  // false for an unknown code
    void setAutoApprove(bool on);
    void expireAllAccessTokens();
    // A valid pair without the device flow, for tests that start signed in.
    TokenPair issueTokens();
    bool isAccessTokenValid(const std::string& token) const;

    // --- engine
    bool engineReady() const;

    // --- request log, in arrival order
    std::vector<LoggedRequest> requestLog() const;
    std::vector<LoggedRequest> requestsTo(const std::string& path) const;
    void clearLog();

    // --- fault injection, per route path; faults of a path apply in the
    // order they were added, each to its next `times` requests.
    void injectFault(const std::string& path, const Fault& fault);
    void failWithStatus(const std::string& path, int status, int times = 1);
    void delayReplies(const std::string& path, int delayMs, int times = 1);
    void dropConnections(const std::string& path, int times = 1);
    void sendTruncatedWav(const std::string& path, int times = 1);
    void sendNonWav(const std::string& path, int times = 1);
    void sendMalformedJson(const std::string& path, int times = 1);
    // Answers with the given status and JSON text instead of running the route.
    void replyWith(const std::string& path, int status, const std::string& body, int times = 1);
    void clearFaults();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace marlune::service

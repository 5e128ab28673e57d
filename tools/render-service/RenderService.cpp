#include "MarluneService.h"

#include "ReferenceSynth.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

namespace marlune::service {

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::ordered_json;
using Route = std::function<void(const httplib::Request&, httplib::Response&)>;

constexpr int kTokenBytes = 24;       // 48 hex characters
constexpr int kDeviceCodeBytes = 20;  // 40 hex characters
constexpr int kUserCodeLength = 8;
constexpr char kUserCodeAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";  // no 0/O, 1/I
constexpr double kDeviceCodeLifetimeSeconds = 600.0;
constexpr int kPollIntervalSeconds = 2;
// Enough workers for three phrase workers, a whole-take render, sign-in and
// the library task at once, plus slack for injected delays.
constexpr std::size_t kWorkerThreads = 16;
constexpr std::size_t kMaxBodyBytes = 64u * 1024u * 1024u;
constexpr int kStartupWaitMs = 5000;
constexpr std::size_t kWavHeaderBytes = 44;
constexpr char kJsonType[] = "application/json";
// cpp-httplib stores the peer and local addresses as pseudo-headers; they
// are not part of what the client sent.
const std::set<std::string> kPseudoHeaders{"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"};

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void replyJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), kJsonType);
}

void replyError(httplib::Response& res, int status, const std::string& message) {
    replyJson(res, status, json{{"error", message}});
}

// Parses a JSON object body holding one string member, as the poll and
// refresh requests send.
bool readStringMember(const std::string& body, const char* key, std::string& out, std::string& error) {
    const auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        error = "body must be a JSON object";
        return false;
    }
    auto it = parsed.find(key);
    if (it == parsed.end() || !it->is_string()) {
        error = std::string("member \"") + key + "\" must be a string";
        return false;
    }
    out = it->get<std::string>();
    return true;
}

int socketPort(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// cpp-httplib offers no way to abandon a request without answering, so the
// connection's socket is found by its ports and replaced by /dev/null: the
// client sees the connection close with no reply, and the library's later
// write goes nowhere (and cannot raise SIGPIPE, since it is not a socket).
bool dropConnection(int serverPort, int clientPort) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return false;
    bool dropped = false;
    while (dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2 || fd == dirfd(dir))
            continue;
        sockaddr_storage local{}, peer{};
        socklen_t localSize = sizeof(local), peerSize = sizeof(peer);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
            continue;
        if (socketPort(local) != serverPort || socketPort(peer) != clientPort)
            continue;
        const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (devNull < 0)
            break;
        dropped = dup2(devNull, fd) >= 0;
        close(devNull);
        break;
    }
    closedir(dir);
    return dropped;
}

// A client that hangs up mid-reply must not take the whole process down.
void ignoreSigpipeUnlessHandled() {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
}

std::string htmlPage(const std::string& title, const std::string& content) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title +
           "</title><style>body{font-family:sans-serif;background:#15131a;color:#eee;"
           "display:flex;justify-content:center;margin-top:10vh}main{max-width:28em}"
           "button{font-size:1.2em;padding:.5em 2em}</style></head><body><main>" +
           content + "</main></body></html>";
}

// cpp-httplib listens with a backlog of 5; a burst of parallel connects
// beyond that waits a whole SYN retry (a second). Re-listening on the bound
// socket raises the backlog.
class HttpServer : public httplib::Server {
public:
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

struct DeviceCode {
    std::string userCode;
    Clock::time_point created;
    bool approved = false;
    bool consumed = false;
};

struct QueuedFault {
    Fault fault;
    int remaining;
};

}  // namespace

std::vector<Instrument> defaultInstruments() {
    return {
        {"nylon-guitar", "Nylon Guitar", "Warm classical guitar, fingerpicked."},
        {"felt-piano", "Felt Piano", "Upright piano with felt-dampened hammers."},
        {"cello-ensemble", "Cello Ensemble", "Bowed cello section, legato."},
    };
}

std::string LoggedRequest::header(const std::string& name) const {
    const std::string wanted = lowerCase(name);
    for (const auto& [key, value] : headers)
        if (lowerCase(key) == wanted)
            return value;
    return {};
}

bool LoggedRequest::hasHeader(const std::string& name) const {
    const std::string wanted = lowerCase(name);
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return lowerCase(h.first) == wanted; });
}

struct RenderService::Impl {
    explicit Impl(Options opts) : options(std::move(opts)), autoApprove(options.autoApprove) {}

    Options options;
    std::unique_ptr<HttpServer> server;
    std::thread serverThread;
    int boundPort = -1;
    std::atomic<bool> running{false};

    // Lets injected delays and render latency end early when stopping.
    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopping = false;

    mutable std::mutex mutex;  // guards everything below
    std::random_device randomSource;
    std::map<std::string, DeviceCode> deviceCodes;
    std::map<std::string, Clock::time_point> accessTokens;  // token -> expiry
    std::set<std::string> refreshTokens;
    bool autoApprove;
    std::optional<Clock::time_point> warmingSince;
    std::deque<LoggedRequest> log;
    std::map<std::string, std::deque<QueuedFault>> faults;

    // --- helpers under the lock ------------------------------------------

    std::string randomHexLocked(int bytes) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string out;
        for (int i = 0; i < bytes; i += 4) {
            uint32_t word = randomSource();
            for (int b = 0; b < 4 && i + b < bytes; ++b, word >>= 8) {
                out.push_back(digits[(word >> 4) & 0xF]);
                out.push_back(digits[word & 0xF]);
            }
        }
        return out;
    }

    std::string userCodeLocked() {
        constexpr std::size_t alphabetSize = sizeof(kUserCodeAlphabet) - 1;
        std::uniform_int_distribution<std::size_t> pick(0, alphabetSize - 1);
        std::string code;
        for (int i = 0; i < kUserCodeLength; ++i) {
            if (i == kUserCodeLength / 2)
                code.push_back('-');
            code.push_back(kUserCodeAlphabet[pick(randomSource)]);
        }
        return code;
    }

    TokenPair issuePairLocked() {
        TokenPair pair{randomHexLocked(kTokenBytes), randomHexLocked(kTokenBytes)};
        const auto lifetime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(options.accessTokenLifetimeSeconds));
        accessTokens[pair.accessToken] = Clock::now() + lifetime;
        refreshTokens.insert(pair.refreshToken);
        return pair;
    }

    bool tokenValidLocked(const std::string& token) const {
        auto it = accessTokens.find(token);
        return it != accessTokens.end() && Clock::now() < it->second;
    }

    bool engineReadyLocked() const {
        if (options.coldStartSeconds <= 0.0)
            return true;
        if (!warmingSince)
            return false;
        const std::chrono::duration<double> warmed = Clock::now() - *warmingSince;
        return warmed.count() >= options.coldStartSeconds;
    }

    void startWarmingLocked() {
        if (!warmingSince)
            warmingSince = Clock::now();
    }

    bool instrumentKnownLocked(const std::string& slug) const {
        return std::any_of(options.instruments.begin(), options.instruments.end(),
                           [&](const Instrument& i) { return i.slug == slug; });
    }

    // --- request plumbing ------------------------------------------------

    void logRequest(const httplib::Request& req) {
        LoggedRequest entry;
        entry.method = req.method;
        entry.path = req.path;
        entry.target = req.target;
        for (const auto& [name, value] : req.headers)
            if (kPseudoHeaders.count(name) == 0)
                entry.headers.emplace_back(name, value);
        entry.body = req.body;
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(std::move(entry));
        while (log.size() > options.logCapacity)
            log.pop_front();
    }

    std::optional<Fault> takeFault(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = faults.find(path);
        if (it == faults.end() || it->second.empty())
            return std::nullopt;
        QueuedFault& next = it->second.front();
        const Fault fault = next.fault;
        if (--next.remaining <= 0)
            it->second.pop_front();
        return fault;
    }

    void sleepUnlessStopping(double ms) {
        if (ms <= 0.0)
            return;
        std::unique_lock<std::mutex> lock(stopMutex);
        stopSignal.wait_for(lock, std::chrono::duration<double, std::milli>(ms), [this] { return stopping; });
    }

    static void spoilBody(FaultKind kind, httplib::Response& res) {
        res.status = 200;
        if (kind == FaultKind::TruncatedWav) {
            std::string body = res.body;
            const bool isWav = body.size() > kWavHeaderBytes && body.compare(0, 4, "RIFF") == 0;
            body.resize(isWav ? kWavHeaderBytes + (body.size() - kWavHeaderBytes) / 2 : body.size() / 2);
            const std::string type = res.get_header_value("Content-Type");
            res.set_content(body, type.empty() ? "application/octet-stream" : type.c_str());
        } else if (kind == FaultKind::NotWav) {
            res.set_content("<html><body>Bad gateway</body></html>", "text/html");
        } else if (kind == FaultKind::MalformedJson) {
            res.set_content("{\"access_token\": \"unterminated", kJsonType);
        }
    }

    void serve(const httplib::Request& req, httplib::Response& res, const Route& route) {
        logRequest(req);
        const std::optional<Fault> fault = takeFault(req.path);
        if (fault) {
            switch (fault->kind) {
            case FaultKind::Status:
                replyError(res, fault->status, "injected fault");
                return;
            case FaultKind::FixedReply:
                res.status = fault->status;
                res.set_content(fault->body, kJsonType);
                return;
            case FaultKind::Drop:
                if (!dropConnection(boundPort, req.remote_port))
                    std::fprintf(stderr, "marlune-service: could not drop connection for %s\n", req.path.c_str());
                return;
            case FaultKind::Delay:
                sleepUnlessStopping(fault->delayMs);
                break;
            default:
                break;
            }
        }
        route(req, res);
        if (fault && fault->kind != FaultKind::Delay)
            spoilBody(fault->kind, res);
    }

    // --- routes ----------------------------------------------------------

    bool authorised(const httplib::Request& req) {
        static const std::string prefix = "Bearer ";
        const std::string header = req.get_header_value("Authorization");
        if (header.compare(0, prefix.size(), prefix) != 0)
            return false;
        std::lock_guard<std::mutex> lock(mutex);
        return tokenValidLocked(header.substr(prefix.size()));
    }

    static json tokenReply(const TokenPair& pair, double lifetimeSeconds) {
        return json{{"access_token", pair.accessToken},
                    {"refresh_token", pair.refreshToken},
                    {"token_type", "Bearer"},
                    {"expires_in", lifetimeSeconds}};
    }

    void deviceStart(const httplib::Request&, httplib::Response& res) {
        std::string code, userCode;
        {
            std::lock_guard<std::mutex> lock(mutex);
            code = randomHexLocked(kDeviceCodeBytes);
            userCode = userCodeLocked();
            deviceCodes[code] = DeviceCode{userCode, Clock::now(), autoApprove, false};
        }
        replyJson(res, 200,
                  json{{"device_code", code},
                       {"user_code", userCode},
                       {"verify_url", baseUrl() + "/verify?code=" + code},
                       {"expires_in", kDeviceCodeLifetimeSeconds},
                       {"interval", kPollIntervalSeconds}});
    }

    void devicePoll(const httplib::Request& req, httplib::Response& res) {
        std::string code, error;
        if (!readStringMember(req.body, "device_code", code, error))
            return replyError(res, 400, error);
        std::lock_guard<std::mutex> lock(mutex);
        auto it = deviceCodes.find(code);
        if (it == deviceCodes.end())
            return replyError(res, 400, "unknown device_code");
        DeviceCode& device = it->second;
        if (device.consumed)
            return replyError(res, 410, "device_code already used");
        const std::chrono::duration<double> age = Clock::now() - device.created;
        if (age.count() > kDeviceCodeLifetimeSeconds)
            return replyError(res, 410, "device_code expired");
        if (!device.approved && !autoApprove)
            return replyJson(res, 202, json{{"status", "authorization_pending"}});
        device.consumed = true;
        replyJson(res, 200, tokenReply(issuePairLocked(), options.accessTokenLifetimeSeconds));
    }

    void refresh(const httplib::Request& req, httplib::Response& res) {
        std::string token, error;
        if (!readStringMember(req.body, "refresh_token", token, error))
            return replyError(res, 400, error);
        std::lock_guard<std::mutex> lock(mutex);
        // Rotation: a refresh token is good for exactly one exchange.
        if (refreshTokens.erase(token) == 0)
            return replyError(res, 401, "invalid refresh_token");
        replyJson(res, 200, tokenReply(issuePairLocked(), options.accessTokenLifetimeSeconds));
    }

    void verifyPage(const httplib::Request& req, httplib::Response& res) {
        const std::string code = req.get_param_value("code");
        std::string userCode;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = deviceCodes.find(code);
            if (it != deviceCodes.end())
                userCode = it->second.userCode;
        }
        if (userCode.empty()) {
            res.status = 404;
            res.set_content(htmlPage("Marlune sign-in", "<h1>Unknown or expired sign-in code</h1>"), "text/html");
            return;
        }
        res.set_content(htmlPage("Marlune sign-in",
                                 "<h1>Sign in to Marlune</h1><p>Confirm that this code matches the one in "
                                 "Marlune Orvane:</p><p><strong>" + userCode + "</strong></p>"
                                 "<form method=\"post\" action=\"/verify/approve\">"
                                 "<input type=\"hidden\" name=\"code\" value=\"" + code + "\">"
                                 "<button type=\"submit\">Approve</button></form>"
                                 "<p><small>Local render service: no Google account is involved.</small></p>"),
                        "text/html");
    }

    void verifyApprove(const httplib::Request& req, httplib::Response& res) {
        std::string code = req.get_param_value("code");
        if (code.empty()) {
            std::string error;
            readStringMember(req.body, "code", code, error);
        }
        if (!approveCode(code)) {
            res.status = 404;
            res.set_content(htmlPage("Marlune sign-in", "<h1>Unknown or expired sign-in code</h1>"), "text/html");
            return;
        }
        res.set_content(htmlPage("Marlune sign-in",
                                 "<h1>Signed in</h1><p>You can close this window and return to Marlune Orvane.</p>"),
                        "text/html");
    }

    bool approveCode(const std::string& code) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = deviceCodes.find(code);
        if (it == deviceCodes.end() || it->second.consumed)
            return false;
        it->second.approved = true;
        return true;
    }

    void me(const httplib::Request& req, httplib::Response& res) {
        if (!authorised(req))
            return replyError(res, 401, "invalid or expired access token");
        replyJson(res, 200, json{{"email", options.email}});
    }

    void pmis(const httplib::Request& req, httplib::Response& res) {
        if (!authorised(req))
            return replyError(res, 401, "invalid or expired access token");
        json list = json::array();
        for (const Instrument& i : options.instruments)
            list.push_back(json{{"slug", i.slug}, {"name", i.name}, {"description", i.description}});
        replyJson(res, 200, json{{"pmis", list}});
    }

    void warmup(const httplib::Request& req, httplib::Response& res) {
        if (!authorised(req))
            return replyError(res, 401, "invalid or expired access token");
        std::lock_guard<std::mutex> lock(mutex);
        startWarmingLocked();
        if (engineReadyLocked())
            replyJson(res, 200, json{{"status", "ready"}});
        else
            replyJson(res, 202, json{{"status", "warming"}});
    }

    void warmupStatus(const httplib::Request& req, httplib::Response& res) {
        if (!authorised(req))
            return replyError(res, 401, "invalid or expired access token");
        std::lock_guard<std::mutex> lock(mutex);
        replyJson(res, 200, json{{"ready", engineReadyLocked()}});
    }

    void render(const httplib::Request& req, httplib::Response& res) {
        if (!authorised(req))
            return replyError(res, 401, "invalid or expired access token");
        {
            std::lock_guard<std::mutex> lock(mutex);
            startWarmingLocked();
        }
        RenderPlan plan;
        std::string error;
        if (!parseBody(req.body, BodyKind::Render, plan, error))
            return replyError(res, 400, error);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!plan.pmi.empty() && !instrumentKnownLocked(plan.pmi))
                return replyError(res, 400, "unknown pmi \"" + plan.pmi + "\"");
            if (!engineReadyLocked())
                return replyError(res, 503, "engine is warming up");
        }
        const std::vector<float> samples = renderSamples(plan);
        const double audioSeconds = static_cast<double>(samples.size()) / plan.outSr;
        sleepUnlessStopping(options.renderLatencyMs + options.renderLatencyFactor * audioSeconds * 1000.0);
        res.status = 200;
        res.set_content(encodeWav16Mono(samples, plan.outSr), "audio/wav");
    }

    void curves(const httplib::Request& req, httplib::Response& res) {
        RenderPlan plan;
        std::string error;
        if (!parseBody(req.body, BodyKind::Curves, plan, error))
            return replyError(res, 400, error);
        res.status = 200;
        res.set_content(curvesToJson(computeCurves(plan)), kJsonType);
    }

    static void notFound(const httplib::Request& req, httplib::Response& res) {
        replyError(res, 404, "no route for " + req.method + " " + req.path);
    }

    // --- server lifecycle ------------------------------------------------

    std::string baseUrl() const { return "http://" + options.host + ":" + std::to_string(boundPort); }

    Route bind(void (Impl::*handler)(const httplib::Request&, httplib::Response&)) {
        return [this, handler](const httplib::Request& req, httplib::Response& res) {
            serve(req, res, [this, handler](const httplib::Request& q, httplib::Response& r) { (this->*handler)(q, r); });
        };
    }

    void registerRoutes(httplib::Server& s) {
        s.Post("/v1/auth/device/start", bind(&Impl::deviceStart));
        s.Post("/v1/auth/device/poll", bind(&Impl::devicePoll));
        s.Post("/v1/auth/refresh", bind(&Impl::refresh));
        s.Get("/verify", bind(&Impl::verifyPage));
        s.Post("/verify/approve", bind(&Impl::verifyApprove));
        s.Get("/v1/me", bind(&Impl::me));
        s.Get("/v1/pmis", bind(&Impl::pmis));
        s.Post("/v1/renders/warmup", bind(&Impl::warmup));
        s.Get("/v1/renders/warmup-status", bind(&Impl::warmupStatus));
        s.Post("/v1/renders", bind(&Impl::render));
        s.Post("/api/curves", bind(&Impl::curves));

        const Route unknown = [this](const httplib::Request& req, httplib::Response& res) {
            serve(req, res, &Impl::notFound);
        };
        s.Get(".*", unknown);
        s.Post(".*", unknown);
        s.Put(".*", unknown);
        s.Patch(".*", unknown);
        s.Delete(".*", unknown);
        s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (res.body.empty())
                replyError(res, res.status, "no route for " + req.method + " " + req.path);
        });
    }

    bool start() {
        if (running)
            return true;
        ignoreSigpipeUnlessHandled();
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            stopping = false;
        }
        server = std::make_unique<HttpServer>();
        server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        server->set_payload_max_length(kMaxBodyBytes);
        // Headers and body go out in separate writes; without this, Nagle
        // and delayed ACKs add about 40 ms to every small reply.
        server->set_tcp_nodelay(true);
        // The library's default SO_REUSEPORT would let a second service share
        // a busy port and take half its requests; SO_REUSEADDR alone still
        // allows a quick restart on the same port.
        server->set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        });
        registerRoutes(*server);

        if (options.port == 0)
            boundPort = server->bind_to_any_port(options.host);
        else
            boundPort = server->bind_to_port(options.host, options.port) ? options.port : -1;
        if (boundPort < 0) {
            server.reset();
            return false;
        }
        server->widenBacklog();
        serverThread = std::thread([s = server.get()] { s->listen_after_bind(); });
        // The socket already listens after binding; waiting for the accept
        // loop as well means the first request is served at once.
        for (int waited = 0; !server->is_running() && waited < kStartupWaitMs; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        running = server->is_running();
        if (!running)
            stop();
        return running;
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(stopMutex);
            stopping = true;
        }
        stopSignal.notify_all();
        if (server)
            server->stop();
        if (serverThread.joinable())
            serverThread.join();
        server.reset();
        running = false;
    }
};

RenderService::RenderService() : RenderService(Options{}) {}

RenderService::RenderService(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

RenderService::~RenderService() { stop(); }

bool RenderService::start() { return impl_->start(); }

void RenderService::stop() { impl_->stop(); }

bool RenderService::isRunning() const { return impl_->running; }

int RenderService::port() const { return impl_->boundPort; }

std::string RenderService::baseUrl() const { return impl_->baseUrl(); }

const RenderService::Options& RenderService::options() const { return impl_->options; }

bool RenderService::approve(const std::string& deviceCode) { return impl_->approveCode(deviceCode); }

void RenderService::setAutoApprove(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->autoApprove = on;
}

void RenderService::expireAllAccessTokens() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->accessTokens.clear();
}

TokenPair RenderService::issueTokens() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->issuePairLocked();
}

bool RenderService::isAccessTokenValid(const std::string& token) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->tokenValidLocked(token);
}

bool RenderService::engineReady() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->engineReadyLocked();
}

std::vector<LoggedRequest> RenderService::requestLog() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return {impl_->log.begin(), impl_->log.end()};
}

std::vector<LoggedRequest> RenderService::requestsTo(const std::string& path) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<LoggedRequest> matching;
    for (const LoggedRequest& entry : impl_->log)
        if (entry.path == path)
            matching.push_back(entry);
    return matching;
}

void RenderService::clearLog() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->log.clear();
}

void RenderService::injectFault(const std::string& path, const Fault& fault) {
    if (fault.times <= 0)
        return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults[path].push_back({fault, fault.times});
}

void RenderService::failWithStatus(const std::string& path, int status, int times) {
    injectFault(path, Fault{FaultKind::Status, status, 0, times});
}

void RenderService::delayReplies(const std::string& path, int delayMs, int times) {
    injectFault(path, Fault{FaultKind::Delay, 0, delayMs, times});
}

void RenderService::dropConnections(const std::string& path, int times) {
    injectFault(path, Fault{FaultKind::Drop, 0, 0, times});
}

void RenderService::sendTruncatedWav(const std::string& path, int times) {
    injectFault(path, Fault{FaultKind::TruncatedWav, 200, 0, times});
}

void RenderService::sendNonWav(const std::string& path, int times) {
    injectFault(path, Fault{FaultKind::NotWav, 200, 0, times});
}

void RenderService::sendMalformedJson(const std::string& path, int times) {
    injectFault(path, Fault{FaultKind::MalformedJson, 200, 0, times});
}

void RenderService::replyWith(const std::string& path, int status, const std::string& body, int times) {
    injectFault(path, Fault{FaultKind::FixedReply, status, 0, times, body});
}

void RenderService::clearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults.clear();
}

}  // namespace marlune::service

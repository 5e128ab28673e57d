// marlune-service: serves the local render service until SIGINT or SIGTERM.
#include "MarluneService.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>

namespace {

constexpr int kDefaultPort = 8787;

void printUsage() {
    std::printf(
        "usage: marlune-service [options]\n"
        "  --port N              port to listen on (default %d, 0 picks a free one)\n"
        "  --host ADDRESS        address to bind (default 127.0.0.1)\n"
        "  --auto-approve        approve every sign-in at once (headless use)\n"
        "  --token-lifetime S    access-token lifetime in seconds (default 3600)\n"
        "  --cold-start S        seconds the engine takes to warm up (default 0)\n"
        "  --latency-ms MS       fixed extra render latency (default 0)\n"
        "  --latency-factor F    extra render latency per second of audio (default 0)\n",
        kDefaultPort);
}

bool parseNumber(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0';
}

// Returns false (after printing why) when the command line is not usable.
bool parseArguments(int argc, char** argv, marlune::service::RenderService::Options& options) {
    options.port = kDefaultPort;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        double number = 0.0;
        auto numericValue = [&](double& target) {
            if (!hasValue || !parseNumber(argv[++i], number) || number < 0.0) {
                std::fprintf(stderr, "marlune-service: %s needs a non-negative number\n", arg.c_str());
                return false;
            }
            target = number;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            printUsage();
            std::exit(0);
        } else if (arg == "--auto-approve") {
            options.autoApprove = true;
        } else if (arg == "--host") {
            if (!hasValue) {
                std::fprintf(stderr, "marlune-service: --host needs an address\n");
                return false;
            }
            options.host = argv[++i];
        } else if (arg == "--port") {
            double port = 0.0;
            if (!numericValue(port) || port > 65535.0)
                return false;
            options.port = static_cast<int>(port);
        } else if (arg == "--token-lifetime") {
            if (!numericValue(options.accessTokenLifetimeSeconds))
                return false;
        } else if (arg == "--cold-start") {
            if (!numericValue(options.coldStartSeconds))
                return false;
        } else if (arg == "--latency-ms") {
            if (!numericValue(options.renderLatencyMs))
                return false;
        } else if (arg == "--latency-factor") {
            if (!numericValue(options.renderLatencyFactor))
                return false;
        } else {
            std::fprintf(stderr, "marlune-service: unknown option %s\n", arg.c_str());
            printUsage();
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    marlune::service::RenderService::Options options;
    if (!parseArguments(argc, argv, options))
        return 2;

    // Block the stop signals before any server thread exists, so that they
    // all inherit the mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    marlune::service::RenderService service(options);
    if (!service.start()) {
        std::fprintf(stderr, "marlune-service: could not listen on %s:%d\n", options.host.c_str(), options.port);
        return 1;
    }
    std::printf("Marlune local render service listening on %s\n", service.baseUrl().c_str());
    std::printf("Point the plug-in at it with MARLUNE_ORVANE_API=%s\n", service.baseUrl().c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    std::printf("Stopping (%s).\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    service.stop();
    return 0;
}

// Fault injection, the request log, unknown routes and the service lifecycle.
#include "ServiceTestSupport.h"

#include <chrono>

namespace marlune::service::testing {
namespace {

class FaultTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        startService();
        token = signedInToken();
    }

    httplib::Result renderRequest() { return postJson("/v1/renders", singleNoteBody(kA4, 0.2, 0.2).dump(), token); }

    std::string token;
};

TEST_F(FaultTest, EachFaultKindSpoilsTheNextRequestsOnlyAndThenTheRouteRecovers) {
    struct Case {
        const char* label;
        Fault fault;
        std::function<void(const httplib::Result&)> expectSpoiled;
    };
    const std::vector<Case> cases{
        {"status", {FaultKind::Status, 503, 0, 2},
         [](const httplib::Result& r) {
             ASSERT_TRUE(r);
             EXPECT_EQ(r->status, 503);
         }},
        {"drop", {FaultKind::Drop, 0, 0, 2},
         [](const httplib::Result& r) { EXPECT_FALSE(r) << "expected no reply, got " << (r ? r->status : 0); }},
        {"truncated WAV", {FaultKind::TruncatedWav, 200, 0, 2},
         [](const httplib::Result& r) {
             ASSERT_TRUE(r);
             EXPECT_EQ(r->status, 200);
             Wav wav;
             ASSERT_TRUE(parseWav(r->body, wav)) << "the header survives";
             EXPECT_LT(r->body.size() - 44, wav.declaredDataBytes);
         }},
        {"not a WAV", {FaultKind::NotWav, 200, 0, 2},
         [](const httplib::Result& r) {
             ASSERT_TRUE(r);
             EXPECT_EQ(r->status, 200);
             EXPECT_NE(r->body.compare(0, 4, "RIFF"), 0);
         }},
        {"malformed JSON", {FaultKind::MalformedJson, 200, 0, 2},
         [](const httplib::Result& r) {
             ASSERT_TRUE(r);
             EXPECT_EQ(r->status, 200);
             EXPECT_TRUE(nlohmann::json::parse(r->body, nullptr, false).is_discarded());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        service->injectFault("/v1/renders", c.fault);
        for (int i = 0; i < c.fault.times; ++i)
            c.expectSpoiled(renderRequest());
        auto recovered = renderRequest();
        ASSERT_TRUE(recovered);
        EXPECT_EQ(recovered->status, 200);
        EXPECT_EQ(recovered->body.compare(0, 4, "RIFF"), 0);
    }
}

TEST_F(FaultTest, DelayHoldsTheReplyBackButStillAnswers) {
    service->delayReplies("/v1/me", 200);
    const auto started = std::chrono::steady_clock::now();
    auto res = getAuth("/v1/me", token);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(FaultTest, FaultsArePerPathAppliedInOrderAndClearable) {
    service->failWithStatus("/v1/pmis", 500);
    service->failWithStatus("/v1/pmis", 404);
    service->sendMalformedJson("/v1/me");
    EXPECT_EQ(getAuth("/v1/renders/warmup-status", token)->status, 200) << "other paths untouched";
    EXPECT_EQ(getAuth("/v1/pmis", token)->status, 500);
    EXPECT_EQ(getAuth("/v1/pmis", token)->status, 404);
    EXPECT_EQ(getAuth("/v1/pmis", token)->status, 200);

    service->clearFaults();
    EXPECT_FALSE(nlohmann::json::parse(getAuth("/v1/me", token)->body, nullptr, false).is_discarded());
}

TEST_F(FaultTest, StatusFaultDoesNotRunTheRoute) {
    options.autoApprove = true;
    auto start = postJson("/v1/auth/device/start", "{}");
    const std::string code = json::parse(start->body).value("device_code", "");
    service->approve(code);
    service->failWithStatus("/v1/auth/device/poll", 500);
    const std::string pollBody = json{{"device_code", code}}.dump();
    EXPECT_EQ(postJson("/v1/auth/device/poll", pollBody)->status, 500);
    EXPECT_EQ(postJson("/v1/auth/device/poll", pollBody)->status, 200) << "the code was not consumed by the fault";
}

TEST_F(FaultTest, LogRecordsMethodPathHeadersAndBodyOfEveryRequestInOrder) {
    service->clearLog();
    auto c = client();
    c.Post("/v1/auth/refresh", {{"X-Probe", "one"}}, R"({"refresh_token":"x"})", "application/json");
    c.Get("/v1/pmis?page=2", bearer(token));
    service->dropConnections("/v1/me");
    c.Get("/v1/me", bearer(token));
    c.Get("/no/such/route");

    const auto log = service->requestLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].path, "/v1/auth/refresh");
    EXPECT_EQ(log[0].body, R"({"refresh_token":"x"})");
    EXPECT_EQ(log[0].header("content-type"), "application/json");
    EXPECT_EQ(log[0].header("X-Probe"), "one");
    EXPECT_FALSE(log[0].hasHeader("Authorization"));
    EXPECT_FALSE(log[0].hasHeader("REMOTE_ADDR")) << "no server-side pseudo-headers";

    EXPECT_EQ(log[1].method, "GET");
    EXPECT_EQ(log[1].path, "/v1/pmis");
    EXPECT_EQ(log[1].target, "/v1/pmis?page=2");
    EXPECT_EQ(log[1].header("Authorization"), "Bearer " + token);
    EXPECT_EQ(log[2].path, "/v1/me") << "dropped requests are logged too";
    EXPECT_EQ(log[3].path, "/no/such/route");

    EXPECT_EQ(service->requestsTo("/v1/pmis").size(), 1u);
    service->clearLog();
    EXPECT_TRUE(service->requestLog().empty());
}

TEST_F(FaultTest, UnknownRoutesAnswer404WithJson) {
    auto c = client();
    std::vector<httplib::Result> replies;
    replies.push_back(c.Get("/v2/anything"));
    replies.push_back(c.Post("/v1/renderz", "{}", "application/json"));
    replies.push_back(c.Delete("/v1/me"));
    for (const auto& res : replies) {
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 404);
        EXPECT_TRUE(nlohmann::json::parse(res->body, nullptr, false).contains("error"));
    }
}

TEST(ServiceLifecycle, BindsLoopbackOnAFreePortAndStopsIdempotently) {
    RenderService first, second;
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(second.start());
    EXPECT_NE(first.port(), second.port());
    EXPECT_EQ(first.baseUrl(), "http://127.0.0.1:" + std::to_string(first.port()));

    RenderService::Options taken;
    taken.port = first.port();
    RenderService clash(taken);
    EXPECT_FALSE(clash.start()) << "a busy port is reported, not ignored";

    const int port = first.port();
    first.stop();
    first.stop();
    EXPECT_FALSE(first.isRunning());
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(1);
    EXPECT_FALSE(c.Get("/v1/me"));
}

TEST(ServiceLifecycle, StopDoesNotWaitOutInjectedDelays) {
    RenderService service;
    ASSERT_TRUE(service.start());
    service.delayReplies("/v1/me", 60000);
    std::thread caller([&] {
        httplib::Client c("127.0.0.1", service.port());
        c.Get("/v1/me");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    service.stop();
    caller.join();
    SUCCEED();
}

}  // namespace
}  // namespace marlune::service::testing

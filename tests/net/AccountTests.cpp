// Device-code sign-in, token refresh and the lifetime of the sign-in task,
// over real loopback HTTP against the local render service.

#include "AccountTestSupport.h"
#include "DdspClient.h"

using namespace marlune::test;
namespace svc = marlune::service;

namespace
{
    const std::string startPath = "/v1/auth/device/start";
    const std::string pollPath = "/v1/auth/device/poll";
    const std::string refreshPath = "/v1/auth/refresh";

    juce::String codeFromVerifyAddress (const juce::String& address)
    {
        return address.fromFirstOccurrenceOf ("code=", false, false);
    }

    std::string startReply (const juce::String& deviceCode, const juce::String& verifyUrl)
    {
        return "{\"device_code\":" + jsonString (deviceCode) + ",\"verify_url\":" + jsonString (verifyUrl) + "}";
    }

    class AccountSignIn : public ServiceTest
    {
    protected:
        AccountSignIn() : ServiceTest (autoApproving()) {}
    };

    /** Codes stay pending until the test approves them. */
    class AccountPendingSignIn : public ServiceTest {};
}

//==============================================================================
TEST_F (AccountSignIn, DeviceFlowStoresBothTokensThenLoadsTheLibrary)
{
    service.failWithStatus (pollPath, 202, 2); // the user is still in the browser for two polls

    processor->signIn();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo ("/v1/renders/warmup").size() == 1; }));
    ASSERT_TRUE (tasksFinish (*processor));

    EXPECT_EQ (processor->getStatus(), "Signed in - ready to render.");

    const auto base = toJuce (service.baseUrl());
    ASSERT_EQ (openedAddresses.size(), 1);
    EXPECT_TRUE (openedAddresses[0].startsWith (base + "/verify?code=")) << openedAddresses[0];
    const auto code = codeFromVerifyAddress (openedAddresses[0]);
    ASSERT_TRUE (code.isNotEmpty());

    const auto starts = service.requestsTo (startPath);
    ASSERT_EQ (starts.size(), 1u);
    EXPECT_EQ (starts[0].method, "POST");
    EXPECT_EQ (starts[0].body, "{}");
    EXPECT_FALSE (starts[0].hasHeader ("Authorization"));

    const auto polls = service.requestsTo (pollPath);
    ASSERT_EQ (polls.size(), 3u);
    for (const auto& poll : polls)
    {
        // An ordinary code travels byte for byte, without spaces.
        EXPECT_EQ (poll.body, "{\"device_code\":\"" + code.toStdString() + "\"}");
        EXPECT_FALSE (poll.hasHeader ("Authorization"));
        EXPECT_EQ (poll.header ("Content-Type"), "application/json");
    }

    const auto access = accessToken();
    EXPECT_TRUE (service.isAccessTokenValid (access.toStdString()));
    EXPECT_TRUE (refreshToken().isNotEmpty());
    EXPECT_NE (refreshToken(), access);

    // The library task follows the last poll: instruments, account, warm-up, in sequence.
    const std::vector<std::string> expectedPaths { startPath, pollPath, pollPath, pollPath,
                                                   "/v1/pmis", "/v1/me", "/v1/renders/warmup" };
    const auto log = service.requestLog();
    EXPECT_EQ (pathsOf (log), expectedPaths);
    for (size_t i = 4; i < log.size(); ++i)
        EXPECT_EQ (log[i].header ("Authorization"), "Bearer " + access.toStdString()) << log[i].path;

    const auto library = processor->getLibrary();
    ASSERT_EQ (library.size(), 3u);
    EXPECT_EQ (library[0].slug, "nylon-guitar");
    EXPECT_EQ (library[1].slug, "felt-piano");
    EXPECT_EQ (library[2].slug, "cello-ensemble");
    EXPECT_EQ (processor->getAccountEmail(), "listener@marlune.local");
    EXPECT_EQ (processor->getSelectedPmi(), "nylon-guitar");
    EXPECT_EQ (processor->libraryVersion.load(), 1);
}

TEST_F (AccountPendingSignIn, ApprovalInTheBrowserCompletesThePolling)
{
    processor->signIn();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo (pollPath).size() >= 2; }));
    EXPECT_EQ (processor->getStatus(), "Finish signing in in your browser...");
    EXPECT_FALSE (processor->isSignedIn());

    const auto log = service.requestsTo (pollPath);
    const auto code = parseJson (log[0].body).getProperty ("device_code", {}).toString();
    ASSERT_TRUE (service.approve (code.toStdString()));

    ASSERT_TRUE (eventually ([this] { return processor->getLibrary().size() == 3; }));
    ASSERT_TRUE (tasksFinish (*processor));
    EXPECT_TRUE (service.isAccessTokenValid (accessToken().toStdString()));
    EXPECT_EQ (processor->getStatus(), "Signed in - ready to render.");
}

TEST_F (AccountSignIn, APollWithoutRefreshTokenSignsInWithAnEmptyOne)
{
    service.replyWith (pollPath, 200, "{\"access_token\":\"access-only\"}");

    processor->signIn();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo ("/v1/renders/warmup").size() == 1; }));
    ASSERT_TRUE (tasksFinish (*processor));

    EXPECT_EQ (accessToken(), "access-only");
    EXPECT_EQ (refreshToken(), "");
    EXPECT_EQ (processor->getStatus(), "Signed in - ready to render.");
    EXPECT_EQ (service.requestsTo ("/v1/pmis").at (0).header ("Authorization"), "Bearer access-only");
}

TEST_F (AccountPendingSignIn, PressingTwiceRunsTwoSignInsEachWithItsOwnCode)
{
    processor->timings.signInPollPauseMs = 60000;
    juce::CriticalSection openedLock; // two tasks record at once
    juce::StringArray opened;
    processor->openBrowser = [&] (const juce::URL& url)
    {
        const juce::ScopedLock sl (openedLock);
        opened.add (url.toString (true));
    };
    const auto numOpened = [&] { const juce::ScopedLock sl (openedLock); return opened.size(); };

    processor->signIn();
    processor->signIn();
    ASSERT_TRUE (eventually ([&] { return numOpened() == 2; }));
    EXPECT_EQ (service.requestsTo (startPath).size(), 2u);
    EXPECT_EQ (processor->tasks.numRunning(), 2);
    EXPECT_EQ (liveThreadsNamed ("marlune-sign"), 2);
    EXPECT_NE (codeFromVerifyAddress (opened[0]), codeFromVerifyAddress (opened[1]));

    host.reset();
    processor.reset(); // both are woken and joined
    EXPECT_EQ (liveAccountTaskThreads(), 0);
}

TEST_F (AccountSignIn, SignInWhileSignedInSendsNothing)
{
    signInDirectly();
    processor->setStatus ("before");

    processor->signIn();
    EXPECT_EQ (processor->tasks.numRunning(), 0);
    pumpMessages (100);

    EXPECT_TRUE (service.requestLog().empty());
    EXPECT_EQ (processor->getStatus(), "before");
}

//==============================================================================
namespace
{
    struct SignInFailure
    {
        const char* name;
        std::function<void (svc::RenderService&)> arrange;
        bool startUnreachable;
        std::function<juce::String (const juce::String& strippedBase)> expectedStatus;
        size_t expectedPolls;
    };

    void PrintTo (const SignInFailure& c, std::ostream* os) { *os << c.name; }

    const SignInFailure signInFailures[] = {
        { "StartUnreachable", {}, true,
          [] (const juce::String& b) { return "Sign-in failed: Could not reach Marlune at " + b + "/v1/auth/device/start"; }, 0 },
        { "Start503", [] (svc::RenderService& s) { s.failWithStatus (startPath, 503); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in failed: device/start HTTP 503"); }, 0 },
        { "Start201IsNotSuccess", [] (svc::RenderService& s) { s.replyWith (startPath, 201, startReply ("abc", "http://127.0.0.1/v")); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in failed: device/start HTTP 201"); }, 0 },
        { "StartWithoutDeviceCode", [] (svc::RenderService& s) { s.replyWith (startPath, 200, "{\"verify_url\":\"http://127.0.0.1/v\"}"); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in failed: "); }, 0 },
        { "StartWithEmptyVerifyUrl", [] (svc::RenderService& s) { s.replyWith (startPath, 200, startReply ("abc", "")); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in failed: "); }, 0 },
        { "StartNotJson", [] (svc::RenderService& s) { s.sendMalformedJson (startPath); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in failed: "); }, 0 },
        { "PollUnreachable", [] (svc::RenderService& s) { s.dropConnections (pollPath); }, false,
          [] (const juce::String& b) { return "Sign-in Could not reach Marlune at " + b + "/v1/auth/device/poll"; }, 1 },
        { "PollWithoutAccessToken", [] (svc::RenderService& s) { s.replyWith (pollPath, 200, "{\"refresh_token\":\"r\"}"); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in "); }, 1 },
        { "PollWithEmptyAccessToken", [] (svc::RenderService& s) { s.replyWith (pollPath, 200, "{\"access_token\":\"\",\"refresh_token\":\"r\"}"); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in "); }, 1 },
        { "PollNotJson", [] (svc::RenderService& s) { s.sendMalformedJson (pollPath); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in "); }, 1 },
        { "Poll400", [] (svc::RenderService& s) { s.failWithStatus (pollPath, 400); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in sign-in expired, please try again"); }, 1 },
        { "Poll403", [] (svc::RenderService& s) { s.failWithStatus (pollPath, 403); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in sign-in expired, please try again"); }, 1 },
        { "Poll410", [] (svc::RenderService& s) { s.failWithStatus (pollPath, 410); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in sign-in expired, please try again"); }, 1 },
        { "Poll500AfterTwoPending", [] (svc::RenderService& s) { s.failWithStatus (pollPath, 202, 2); s.failWithStatus (pollPath, 500); }, false,
          [] (const juce::String&) { return juce::String ("Sign-in sign-in expired, please try again"); }, 3 },
    };

    class AccountSignInFailure : public ServiceTest, public ::testing::WithParamInterface<SignInFailure> {};
}

TEST_P (AccountSignInFailure, EndsWithItsMessageAndStaysSignedOut)
{
    const auto& c = GetParam();
    auto base = toJuce (service.baseUrl());

    if (c.startUnreachable)
    {
        base = closedLoopbackBase();
        processor->setBackendUrl (base + "//"); // the task strips the slashes
    }
    if (c.arrange)
        c.arrange (service);

    processor->signIn();
    ASSERT_TRUE (tasksFinish (*processor));

    EXPECT_EQ (processor->getStatus(), c.expectedStatus (base));
    EXPECT_FALSE (processor->isSignedIn());
    EXPECT_TRUE (refreshToken().isEmpty());
    EXPECT_EQ (service.requestsTo (pollPath).size(), c.expectedPolls); // no further poll after the outcome
    EXPECT_TRUE (service.requestsTo ("/v1/pmis").empty());
    if (c.expectedPolls == 0)
        EXPECT_TRUE (openedAddresses.isEmpty());
}

INSTANTIATE_TEST_SUITE_P (Account, AccountSignInFailure, ::testing::ValuesIn (signInFailures),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST_F (AccountPendingSignIn, GivesUpAfterOneHundredAndFiftyPolls)
{
    processor->timings.signInPollPauseMs = 1;

    processor->signIn();
    ASSERT_TRUE (tasksFinish (*processor, 30000));

    EXPECT_EQ (processor->getStatus(), "Sign-in timed out - try again.");
    EXPECT_EQ (service.requestsTo (pollPath).size(), 150u);
    EXPECT_FALSE (processor->isSignedIn());
}

//==============================================================================
namespace
{
    struct VerifyAddress
    {
        const char* name;
        const char* address;
        bool opened;
    };

    void PrintTo (const VerifyAddress& c, std::ostream* os) { *os << c.name; }

    const VerifyAddress verifyAddresses[] = {
        { "File",             "file:///etc/passwd",                false },
        { "FileUpperCase",    "FILE:///etc/passwd",                false },
        { "JavaScript",       "javascript:alert(1)",               false },
        { "JavaScriptHttp",   "javascript:http://127.0.0.1/",      false },
        { "CustomHandler",    "marlune-app://approve?code=abc",    false },
        { "Data",             "data:text/html,<script>1</script>", false },
        { "NoScheme",         "/verify?code=abc",                  false },
        { "LookalikeScheme",  "httpx://127.0.0.1/verify",          false },
        { "Http",             "http://127.0.0.1/verify?code=abc",  true },
        { "HttpsUpperCase",   "HTTPS://accounts.example/verify",   true },
    };

    class AccountVerifyAddress : public ServiceTest, public ::testing::WithParamInterface<VerifyAddress> {};
}

TEST_P (AccountVerifyAddress, OnlyWebPagesReachTheBrowser)
{
    const auto& c = GetParam();
    service.replyWith (startPath, 200, startReply ("abc", c.address));
    service.failWithStatus (pollPath, 410); // end an accepted sign-in after its first poll

    processor->signIn();
    ASSERT_TRUE (tasksFinish (*processor));

    if (c.opened)
    {
        ASSERT_EQ (openedAddresses.size(), 1);
        EXPECT_EQ (openedAddresses[0], juce::URL (c.address).toString (true));
        EXPECT_EQ (service.requestsTo (pollPath).size(), 1u);
    }
    else
    {
        EXPECT_TRUE (openedAddresses.isEmpty());
        EXPECT_TRUE (processor->getStatus().startsWith ("Sign-in failed: ")) << processor->getStatus();
        EXPECT_GT (processor->getStatus().length(), juce::String ("Sign-in failed: ").length()); // says why
        EXPECT_TRUE (service.requestsTo (pollPath).empty());
    }
    EXPECT_FALSE (processor->isSignedIn());
}

INSTANTIATE_TEST_SUITE_P (Account, AccountVerifyAddress, ::testing::ValuesIn (verifyAddresses),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    // Texts that would break or extend a JSON object if inserted verbatim.
    const juce::String awkwardTexts[] = {
        "a\"b",
        "back\\slash",
        "\",\"device_code\":\"evil",
        "\",\"refresh_token\":\"evil",
        "tab\tand\nnewline",
        "trailing\\",
        juce::String::fromUTF8 ("caf\xc3\xa9-\xe2\x9c\x93"),
    };

    /** The body is one JSON object with exactly the one member, holding the text. */
    void expectSingleMemberBody (const std::string& body, const juce::String& member, const juce::String& text)
    {
        const auto json = parseJson (body);
        ASSERT_TRUE (json.isObject()) << body;
        EXPECT_EQ (memberNames (json).joinIntoString (","), member) << body;
        EXPECT_EQ (json.getProperty (juce::Identifier (member), {}).toString(), text) << body;
    }

    class AccountEscaping : public ServiceTest, public ::testing::WithParamInterface<juce::String> {};
}

TEST_P (AccountEscaping, PollBodyHoldsTheDeviceCodeExactly)
{
    const auto code = GetParam();
    service.replyWith (startPath, 200, startReply (code, "http://127.0.0.1/verify"));

    processor->signIn();
    ASSERT_TRUE (tasksFinish (*processor));

    const auto polls = service.requestsTo (pollPath);
    ASSERT_EQ (polls.size(), 1u); // the service knows no such code and ends the sign-in
    expectSingleMemberBody (polls[0].body, "device_code", code);
    EXPECT_EQ (processor->getStatus(), "Sign-in sign-in expired, please try again");
}

TEST_P (AccountEscaping, RefreshBodyHoldsTheRefreshTokenExactly)
{
    const auto token = GetParam();
    juce::String access, refresh, error;

    EXPECT_FALSE (DdspClient::refreshTokens (toJuce (service.baseUrl()), token, access, refresh, error));

    const auto requests = service.requestsTo (refreshPath);
    ASSERT_EQ (requests.size(), 1u);
    expectSingleMemberBody (requests[0].body, "refresh_token", token);
    EXPECT_EQ (error, "session expired, please sign in again"); // well-formed, but unknown
}

INSTANTIATE_TEST_SUITE_P (Account, AccountEscaping, ::testing::ValuesIn (awkwardTexts));

//==============================================================================
class AccountRefresh : public ServiceTest {};

TEST_F (AccountRefresh, ExchangesAndRotatesThePair)
{
    const auto pair = service.issueTokens();
    juce::String access, refresh, error = "caller's text";

    ASSERT_TRUE (DdspClient::refreshTokens (toJuce (service.baseUrl()) + "///", toJuce (pair.refreshToken),
                                            access, refresh, error));

    EXPECT_EQ (error, "caller's text");
    EXPECT_TRUE (service.isAccessTokenValid (access.toStdString()));
    EXPECT_NE (access.toStdString(), pair.accessToken);
    EXPECT_TRUE (refresh.isNotEmpty());
    EXPECT_NE (refresh.toStdString(), pair.refreshToken);

    const auto requests = service.requestsTo (refreshPath);
    ASSERT_EQ (requests.size(), 1u);
    EXPECT_EQ (requests[0].target, refreshPath);
    EXPECT_EQ (requests[0].body, "{\"refresh_token\":\"" + pair.refreshToken + "\"}");
    EXPECT_FALSE (requests[0].hasHeader ("Authorization"));

    // The old refresh token was good for one exchange only.
    juce::String again, againRefresh;
    EXPECT_FALSE (DdspClient::refreshTokens (toJuce (service.baseUrl()), toJuce (pair.refreshToken),
                                             again, againRefresh, error));
    EXPECT_EQ (error, "session expired, please sign in again");
}

namespace
{
    struct RefreshOutcome
    {
        const char* name;
        std::function<void (svc::RenderService&)> arrange;
        bool unreachable;
        bool result;
        const char* access;     // expected out tokens afterwards
        const char* refresh;
        const char* error;      // nullptr: the caller's text stays
    };

    void PrintTo (const RefreshOutcome& c, std::ostream* os) { *os << c.name; }

    const RefreshOutcome refreshOutcomes[] = {
        { "EmptyAccessToken", [] (svc::RenderService& s) { s.replyWith (refreshPath, 200, "{\"access_token\":\"\",\"refresh_token\":\"r2\"}"); },
          false, false, "", "r2", nullptr },
        { "NoMembers", [] (svc::RenderService& s) { s.replyWith (refreshPath, 200, "{}"); },
          false, false, "", "", nullptr },
        { "NotJson", [] (svc::RenderService& s) { s.sendMalformedJson (refreshPath); },
          false, false, "", "", nullptr },
        { "AccessWithoutRefresh", [] (svc::RenderService& s) { s.replyWith (refreshPath, 200, "{\"access_token\":\"a2\"}"); },
          false, true, "a2", "", nullptr },
        { "Unknown401", {}, false, false, "keep-a", "keep-r", "session expired, please sign in again" },
        { "Status500", [] (svc::RenderService& s) { s.failWithStatus (refreshPath, 500); },
          false, false, "keep-a", "keep-r", "session expired, please sign in again" },
        { "Unreachable", {}, true, false, "keep-a", "keep-r", "" /* checked against the address */ },
    };

    class AccountRefreshOutcome : public ServiceTest, public ::testing::WithParamInterface<RefreshOutcome> {};
}

TEST_P (AccountRefreshOutcome, ResultTokensAndErrorText)
{
    const auto& c = GetParam();
    const auto base = c.unreachable ? closedLoopbackBase() : toJuce (service.baseUrl());
    if (c.arrange)
        c.arrange (service);

    juce::String access = "keep-a", refresh = "keep-r", error = "caller's text";
    EXPECT_EQ (DdspClient::refreshTokens (base, "not-a-known-token", access, refresh, error), c.result);

    EXPECT_EQ (access, c.access);
    EXPECT_EQ (refresh, c.refresh);
    if (c.unreachable)
        EXPECT_EQ (error, "Could not reach Marlune at " + base + "/v1/auth/refresh");
    else
        EXPECT_EQ (error, c.error != nullptr ? juce::String (c.error) : juce::String ("caller's text"));
}

INSTANTIATE_TEST_SUITE_P (Account, AccountRefreshOutcome, ::testing::ValuesIn (refreshOutcomes),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    struct SignInStop
    {
        const char* name;
        int pollPauseMs;
        int pollDelayMs;    // the service holds each poll this long
    };

    void PrintTo (const SignInStop& c, std::ostream* os) { *os << c.name; }

    const SignInStop signInStops[] = {
        { "WaitingBetweenPolls", 60000, 0 },
        { "PollInFlight",        1,     60000 },
    };

    class AccountTaskLifetime : public ServiceTest, public ::testing::WithParamInterface<SignInStop> {};
}

TEST_P (AccountTaskLifetime, DestroyingTheProcessorStopsTheSignIn)
{
    const auto& c = GetParam();
    processor->timings.signInPollPauseMs = c.pollPauseMs;
    if (c.pollDelayMs > 0)
        service.delayReplies (pollPath, c.pollDelayMs, 1000);

    processor->signIn();
    ASSERT_TRUE (eventually ([this] { return processor->getStatus() == "Finish signing in in your browser..."; }));
    if (c.pollDelayMs > 0)
        ASSERT_TRUE (eventually ([this] { return service.requestsTo (pollPath).size() == 1; }));
    ASSERT_EQ (processor->tasks.numRunning(), 1);
    ASSERT_EQ (liveAccountTaskThreads(), 1);
    const auto pollsBefore = service.requestsTo (pollPath).size();

    // Left alone, the task would wait or block for a minute; the destructor
    // wakes or cancels it and joins it.
    const auto started = juce::Time::getMillisecondCounterHiRes();
    host.reset();
    processor.reset();
    const auto elapsed = juce::Time::getMillisecondCounterHiRes() - started;

    EXPECT_LT (elapsed, 2000.0 + 1500.0);
    EXPECT_EQ (liveAccountTaskThreads(), 0);

    pumpMessages (200);
    EXPECT_EQ (service.requestsTo (pollPath).size(), pollsBefore);
    EXPECT_TRUE (service.requestsTo ("/v1/pmis").empty());
}

INSTANTIATE_TEST_SUITE_P (Account, AccountTaskLifetime, ::testing::ValuesIn (signInStops),
                          [] (const auto& info) { return std::string (info.param.name); });

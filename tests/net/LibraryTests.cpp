// The instrument library, the account e-mail and the engine warm-up, fetched
// by the library task over real loopback HTTP.

#include "AccountTestSupport.h"

using namespace marlune::test;
namespace svc = marlune::service;

namespace
{
    const std::string pmisPath = "/v1/pmis";
    const std::string mePath = "/v1/me";
    const std::string warmupPath = "/v1/renders/warmup";

    using Library = std::vector<MarluneInstrumentProcessor::PmiInfo>;

    void setSelection (MarluneInstrumentProcessor& p, const juce::String& slug)
    {
        const juce::ScopedLock ll (p.libraryLock);
        p.selectedPmi = slug;
    }

    void setEmail (MarluneInstrumentProcessor& p, const juce::String& email)
    {
        const juce::ScopedLock al (p.accountLock);
        p.accountEmail = email;
    }

    std::string describe (const Library& library)
    {
        std::string out;
        for (const auto& e : library)
            out += "[" + e.slug.toStdString() + "|" + e.name.toStdString() + "|" + e.description.toStdString() + "]";
        return out;
    }

    std::string describe (const std::vector<svc::Instrument>& list)
    {
        std::string out;
        for (const auto& e : list)
            out += "[" + e.slug + "|" + e.name + "|" + e.description + "]";
        return out;
    }

    class LibraryFetch : public ServiceTest
    {
    protected:
        /** Runs one library task to its end. */
        void fetch()
        {
            const auto warmups = service.requestsTo (warmupPath).size();
            processor->refreshLibrary();
            ASSERT_TRUE (eventually ([&] { return service.requestsTo (warmupPath).size() == warmups + 1; }));
            ASSERT_TRUE (tasksFinish (*processor));
        }
    };
}

//==============================================================================
TEST_F (LibraryFetch, SendsInstrumentsAccountAndWarmUpInSequenceWithTheBearer)
{
    const auto pair = signInDirectly();
    service.delayReplies (pmisPath, 300);

    processor->refreshLibrary();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo (pmisPath).size() == 1; }));
    pumpMessages (150);
    EXPECT_TRUE (service.requestsTo (mePath).empty()) << "the account was asked before the library had answered";

    ASSERT_TRUE (eventually ([this] { return service.requestsTo (warmupPath).size() == 1; }));
    ASSERT_TRUE (tasksFinish (*processor));

    const auto log = service.requestLog();
    ASSERT_EQ (pathsOf (log), (std::vector<std::string> { pmisPath, mePath, warmupPath }));
    EXPECT_EQ (log[0].method, "GET");
    EXPECT_EQ (log[1].method, "GET");
    EXPECT_EQ (log[2].method, "POST");
    EXPECT_EQ (log[2].body, "{}");
    EXPECT_EQ (log[2].header ("Content-Type"), "application/json");
    for (const auto& r : log)
        EXPECT_EQ (r.header ("Authorization"), "Bearer " + pair.accessToken) << r.path;

    EXPECT_EQ (describe (processor->getLibrary()), describe (svc::defaultInstruments()));
    EXPECT_EQ (processor->getAccountEmail(), "listener@marlune.local");
    EXPECT_EQ (processor->libraryVersion.load(), 1);
}

TEST_F (LibraryFetch, WithoutATokenNothingIsSent)
{
    processor->refreshLibrary();
    EXPECT_EQ (processor->tasks.numRunning(), 0);
    pumpMessages (100);

    EXPECT_TRUE (service.requestLog().empty());
    EXPECT_EQ (processor->libraryVersion.load(), 0);
}

//==============================================================================
namespace
{
    struct SelectionCase
    {
        const char* name;
        std::vector<svc::Instrument> instruments;
        const char* selectedBefore;
        const char* selectedAfter;
    };

    void PrintTo (const SelectionCase& c, std::ostream* os) { *os << c.name; }

    const svc::Instrument violin { "violin-solo", "Solo Violin", "Bowed, close" };
    const svc::Instrument sax { "alto-sax", "Alto Sax", "Breathy" };
    const svc::Instrument nylon { "nylon-guitar", "Nylon Guitar", "Fingerpicked" };
    const svc::Instrument piano { "felt-piano", "Felt Piano", "Soft hammers" };

    const SelectionCase selectionCases[] = {
        { "MissingSlugChoosesTheFirst",    { violin, sax },         "nylon-guitar",  "violin-solo" },
        { "PresentFirstIsKept",            { nylon, violin },       "nylon-guitar",  "nylon-guitar" },
        { "PresentLastIsKept",             { violin, sax, nylon },  "nylon-guitar",  "nylon-guitar" },
        { "PresentInTheMiddleIsKept",      { violin, piano, sax },  "felt-piano",    "felt-piano" },
        { "CaseOnlyDifferenceIsReplaced",  { violin, nylon },       "Nylon-Guitar",  "violin-solo" },
        { "TrailingSpaceIsReplaced",       { sax, nylon },          "nylon-guitar ", "alto-sax" },
        { "EmptyListKeepsTheSelection",    {},                      "felt-piano",    "felt-piano" },
    };

    class LibrarySelection : public ServiceTest, public ::testing::WithParamInterface<SelectionCase>
    {
    protected:
        LibrarySelection() : ServiceTest (withInstruments (GetParam().instruments)) {}
    };
}

TEST_P (LibrarySelection, ReplacesTheListAndAppliesTheSelectionRule)
{
    const auto& c = GetParam();
    {
        const juce::ScopedLock ll (processor->libraryLock);
        processor->library = { { "stale", "Stale", "from an earlier fetch" } };
    }
    setSelection (*processor, c.selectedBefore);
    processor->libraryVersion = 7;
    signInDirectly();

    processor->refreshLibrary();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo (warmupPath).size() == 1; }));
    ASSERT_TRUE (tasksFinish (*processor));

    EXPECT_EQ (describe (processor->getLibrary()), describe (c.instruments));
    EXPECT_EQ (processor->getSelectedPmi(), c.selectedAfter);
    EXPECT_EQ (processor->libraryVersion.load(), 8);
}

INSTANTIATE_TEST_SUITE_P (Library, LibrarySelection, ::testing::ValuesIn (selectionCases),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    struct OddReply
    {
        const char* name;
        std::function<void (svc::RenderService&)> arrange;
        Library expected;
    };

    void PrintTo (const OddReply& c, std::ostream* os) { *os << c.name; }

    const OddReply oddReplies[] = {
        { "PmisNotAnArray",  [] (svc::RenderService& s) { s.replyWith (pmisPath, 200, "{\"pmis\":\"nylon-guitar\"}"); }, {} },
        { "ArrayNotObject",  [] (svc::RenderService& s) { s.replyWith (pmisPath, 200, "[{\"slug\":\"a\"}]"); }, {} },
        { "NoPmisMember",    [] (svc::RenderService& s) { s.replyWith (pmisPath, 200, "{}"); }, {} },
        { "NotJson",         [] (svc::RenderService& s) { s.sendMalformedJson (pmisPath); }, {} },
        { "OddEntries",
          [] (svc::RenderService& s)
          {
              s.replyWith (pmisPath, 200,
                           "{\"pmis\":[{\"slug\":\"a\"},7,{\"extra\":1,\"description\":\"d\",\"name\":\"B\",\"slug\":\"b\"},{\"slug\":42}]}");
          },
          { { "a", "", "" }, { "", "", "" }, { "b", "B", "d" }, { "42", "", "" } } },
    };

    class LibraryOddReply : public ServiceTest, public ::testing::WithParamInterface<OddReply> {};
}

TEST_P (LibraryOddReply, YieldsWhatCanBeReadAndStillRaisesTheVersion)
{
    const auto& c = GetParam();
    signInDirectly();
    c.arrange (service);

    processor->refreshLibrary();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo (warmupPath).size() == 1; }));
    ASSERT_TRUE (tasksFinish (*processor));

    EXPECT_EQ (describe (processor->getLibrary()), describe (c.expected));
    EXPECT_EQ (processor->libraryVersion.load(), 1);
    EXPECT_EQ (processor->getSelectedPmi(), c.expected.empty() ? juce::String ("nylon-guitar") : c.expected.front().slug);
    EXPECT_EQ (service.requestsTo (mePath).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P (Library, LibraryOddReply, ::testing::ValuesIn (oddReplies),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    struct FailedLibrary
    {
        const char* name;
        std::function<void (svc::RenderService&)> arrange;
        const char* emailAfter;
    };

    void PrintTo (const FailedLibrary& c, std::ostream* os) { *os << c.name; }

    const FailedLibrary failedLibraries[] = {
        { "Pmis401",         [] (svc::RenderService& s) { s.failWithStatus (pmisPath, 401); }, "listener@marlune.local" },
        { "Pmis500",         [] (svc::RenderService& s) { s.failWithStatus (pmisPath, 500); }, "listener@marlune.local" },
        { "PmisUnreachable", [] (svc::RenderService& s) { s.dropConnections (pmisPath); },     "listener@marlune.local" },
        // An expired token fails both reads: the e-mail stays too.
        { "TokenExpired",    [] (svc::RenderService& s) { s.expireAllAccessTokens(); },        "old@example.com" },
    };

    class LibraryFailure : public LibraryFetch, public ::testing::WithParamInterface<FailedLibrary> {};
}

TEST_P (LibraryFailure, KeepsLibrarySelectionAndVersionButStillAsksTheAccountAndWarmsUp)
{
    const auto& c = GetParam();
    signInDirectly();
    fetch();
    setSelection (*processor, "felt-piano");
    setEmail (*processor, "old@example.com");
    const auto versionBefore = processor->libraryVersion.load();

    c.arrange (service);
    fetch();

    EXPECT_EQ (describe (processor->getLibrary()), describe (svc::defaultInstruments()));
    EXPECT_EQ (processor->getSelectedPmi(), "felt-piano");
    EXPECT_EQ (processor->libraryVersion.load(), versionBefore);
    EXPECT_EQ (service.requestsTo (mePath).size(), 2u);
    EXPECT_EQ (service.requestsTo (warmupPath).size(), 2u);
    EXPECT_EQ (processor->getAccountEmail(), c.emailAfter);
    EXPECT_TRUE (service.requestsTo ("/v1/auth/refresh").empty()); // the library path never refreshes
}

INSTANTIATE_TEST_SUITE_P (Library, LibraryFailure, ::testing::ValuesIn (failedLibraries),
                          [] (const auto& info) { return std::string (info.param.name); });

TEST_F (LibraryFetch, AccountReplyWithoutEmailStoresAnEmptyOne)
{
    signInDirectly();
    setEmail (*processor, "old@example.com");
    service.replyWith (mePath, 200, "{\"name\":\"no e-mail here\"}");

    fetch();

    EXPECT_EQ (processor->getAccountEmail(), "");
    EXPECT_EQ (processor->getLibrary().size(), 3u);
}

TEST_F (LibraryFetch, WarmUpIsSentWhenTheAccountCannotBeRead)
{
    signInDirectly();
    service.dropConnections (mePath);

    fetch();

    EXPECT_EQ (processor->getLibrary().size(), 3u);
    EXPECT_EQ (service.requestsTo (warmupPath).size(), 1u);
}

//==============================================================================
TEST_F (LibraryFetch, DestroyingTheProcessorCancelsAFetchOnASlowService)
{
    signInDirectly();
    service.delayReplies (pmisPath, 60000);

    processor->refreshLibrary();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo (pmisPath).size() == 1; }));
    ASSERT_EQ (processor->tasks.numRunning(), 1);
    ASSERT_EQ (liveAccountTaskThreads(), 1);

    // The request would otherwise wait for the service's minute; the
    // destructor cancels it and joins the task.
    const auto started = juce::Time::getMillisecondCounterHiRes();
    host.reset();
    processor.reset();
    const auto elapsed = juce::Time::getMillisecondCounterHiRes() - started;

    EXPECT_LT (elapsed, 2000.0 + 1500.0);
    EXPECT_EQ (liveAccountTaskThreads(), 0);

    pumpMessages (200);
    EXPECT_EQ (pathsOf (service.requestLog()), std::vector<std::string> { pmisPath }); // no "/v1/me", no warm-up
}

TEST_F (LibraryFetch, DestroyingTheProcessorStopsEveryTaskAtOnce)
{
    // A sign-in waiting between polls and two library fetches on a slow service.
    signInDirectly();
    service.delayReplies (pmisPath, 60000, 2);
    processor->refreshLibrary();
    processor->refreshLibrary();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo (pmisPath).size() == 2; }));
    {
        const juce::ScopedLock al (processor->accountLock);
        processor->accessToken.clear();
    }
    processor->timings.signInPollPauseMs = 60000;
    processor->signIn();
    ASSERT_TRUE (eventually ([this] { return service.requestsTo ("/v1/auth/device/start").size() == 1; }));
    ASSERT_TRUE (eventually ([this] { return liveAccountTaskThreads() == 3; }));

    const auto started = juce::Time::getMillisecondCounterHiRes();
    host.reset();
    processor.reset();
    const auto elapsed = juce::Time::getMillisecondCounterHiRes() - started;

    // Every task is woken before any is joined, so the waits do not add up.
    EXPECT_LT (elapsed, 2000.0 + 1500.0);
    EXPECT_EQ (liveAccountTaskThreads(), 0);
}

// Many instances at once: created, played in parallel on several threads with
// their workers talking to a local render service, then destroyed in random
// order while those workers are busy. Nothing of the plug-in may outlive its
// instance: no thread left running, no destructor that hangs.

#include "ValidationSupport.h"
#include "HostFixture.h"
#include "MarluneService.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <numeric>
#include <random>

using namespace marlune::test;
using namespace marlune::validation;
using Processor = MarluneInstrumentProcessor;
namespace service = marlune::service;

namespace
{
    constexpr int blocksPerInstance = 200;
    constexpr int blockSize = 512;
    constexpr double destructionBoundMs = 3000.0;

    juce::String toJuce (const std::string& s) { return juce::String::fromUTF8 (s.c_str(), (int) s.size()); }

    void signIn (Processor& p, service::RenderService& svc)
    {
        p.setBackendUrl (toJuce (svc.baseUrl()));
        const auto pair = svc.issueTokens();
        const juce::ScopedLock al (p.accountLock);
        p.accessToken = toJuce (pair.accessToken);
        p.refreshToken = toJuce (pair.refreshToken);
    }

    std::unique_ptr<Processor> makeSignedIn (service::RenderService& svc)
    {
        auto p = std::make_unique<Processor>();
        p->timings.renderRetryPauseMs = 20;
        p->timings.signInPollPauseMs = 20;
        p->openBrowser = [] (const juce::URL&) {};
        signIn (*p, svc);
        return p;
    }

    /** Queues phrase jobs the way the chunker does and wakes the workers. */
    void queuePhraseJobs (Processor& p, int count, int pitch)
    {
        {
            const juce::ScopedLock ql (p.jobQueueMutex);
            for (int i = 0; i < count; ++i)
            {
                Processor::RenderJob job;
                const juce::int64 start = (juce::int64) i * 48000;
                job.notes = { { 0.0, 0.3, pitch + i, 100, start, false } };
                job.bends = { { 0.0, 0.0f } };
                job.mods = { { 0.0, 0.0f } };
                job.startSample = start;
                job.totalDuration = 0.5;
                p.jobQueue.push_back (std::move (job));
            }
        }
        p.jobsDispatched += count;
        for (int i = 0; i < count; ++i)
            p.phraseEvent.signal();
    }

    struct Figures
    {
        std::vector<double> values;

        void add (double v) { values.push_back (v); }
        double max() const { return values.empty() ? 0.0 : *std::max_element (values.begin(), values.end()); }
        double median() const
        {
            auto v = values;
            std::sort (v.begin(), v.end());
            return v.empty() ? 0.0 : v[v.size() / 2];
        }
        std::string describe() const
        {
            return "median " + juce::String (median(), 1).toStdString() + " ms, max "
                   + juce::String (max(), 1).toStdString() + " ms over " + std::to_string (values.size());
        }
    };

    /** Runs `body (owner, block)` for each owner on its own thread while this
        (the message) thread keeps the processors' timers turning. */
    void runOnThreads (int threads, const std::function<void (int)>& body)
    {
        std::atomic<int> finished { 0 };
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back ([&, t] { body (t); ++finished; });
        pumpUntil ([&] { return finished.load() == threads; }, 60000);
        for (auto& t : pool)
            t.join();
    }

    struct Played
    {
        BadSample bad;
        float peak = 0.0f;
    };
}

//==============================================================================
TEST (InstanceStress, SixteenInstancesOnFourThreadsDestroyedInRandomOrderWhileBusy)
{
    service::RenderService::Options options;
    options.renderLatencyMs = 250.0;   // so that phrase jobs are in flight
    options.autoApprove = true;
    service::RenderService svc (options);
    ASSERT_TRUE (svc.start());

    // Baseline after one instance has come and gone: the framework's own
    // long-lived threads and the service's are counted in it.
    {
        auto warmUp = makeSignedIn (svc);
        HostDriver host (*warmUp);
        host.prepare (48000.0, blockSize);
        queuePhraseJobs (*warmUp, 1, 60);
        EXPECT_TRUE (pumpUntil ([&] { return warmUp->clipsRendered.load() == 1; }, 10000));
        host.block (blockSize);
    }
    const auto baseline = censusAfterSettling (takeThreadCensus());
    ASSERT_TRUE (baseline.pluginThreads.empty()) << baseline.describePluginThreads();

    constexpr int threads = 4, perThread = 4, count = threads * perThread;
    std::vector<std::unique_ptr<Processor>> processors;
    std::vector<std::unique_ptr<HostDriver>> hosts;
    const auto createStarted = nowMs();
    for (int i = 0; i < count; ++i)
    {
        processors.push_back (makeSignedIn (svc));
        auto& p = *processors.back();
        // Half stream phrases while recording, half render the whole take at the end.
        p.streamWhileRecording.store (i % 2 == 0);
        hosts.push_back (std::make_unique<HostDriver> (p));
        hosts.back()->prepare (48000.0, blockSize);
        p.arm();
        p.refreshLibrary();
        queuePhraseJobs (p, 4, 48 + i);
    }
    const auto createdMs = nowMs() - createStarted;
    const auto whileRunning = takeThreadCensus();

    std::vector<Played> played ((size_t) count);
    runOnThreads (threads, [&] (int t)
    {
        std::vector<RandomPerformer> performers;
        for (int k = 0; k < perThread; ++k)
            performers.emplace_back (100 + t * perThread + k);

        for (int b = 0; b <= blocksPerInstance; ++b)
        {
            for (int k = 0; k < perThread; ++k)
            {
                const int i = t * perThread + k;
                auto& host = *hosts[(size_t) i];
                auto& result = played[(size_t) i];
                if (b == 1)
                    host.play (0);
                if (b == blocksPerInstance)
                {
                    performers[(size_t) k].releaseAll (host.midi);
                    host.stop();   // the capture ends: streamed phrases and whole takes start
                }
                else
                {
                    performers[(size_t) k].fill (host.midi, blockSize);
                }
                const auto& out = host.block (blockSize);
                if (! result.bad.found())
                    result.bad = findBadSample (out);
                result.peak = juce::jmax (result.peak, out.getMagnitude (0, blockSize));
            }
        }
    });

    for (int i = 0; i < count; ++i)
    {
        EXPECT_FALSE (played[(size_t) i].bad.found()) << "instance " << i << ": " << played[(size_t) i].bad;
        EXPECT_GT (played[(size_t) i].peak, 0.0f) << "instance " << i;
    }

    std::vector<int> order ((size_t) count);
    std::iota (order.begin(), order.end(), 0);
    std::mt19937 shuffler (20240909u);
    std::shuffle (order.begin(), order.end(), shuffler);

    Figures destruction;
    int busyAtDestruction = 0, clips = 0;
    std::string perInstance;
    for (int i : order)
    {
        auto& p = processors[(size_t) i];
        // Its phrase workers are busy (a request in flight) at the moment it goes.
        queuePhraseJobs (*p, 3, 60 + i);
        pumpUntil ([&] { return p->jobsInFlight.load() > 0; }, 2000);
        const bool rendering = p->renderWorker != nullptr && p->renderWorker->isThreadRunning();
        const int inFlight = p->jobsInFlight.load();
        busyAtDestruction += inFlight > 0 ? 1 : 0;
        clips += p->clipsRendered.load();

        const auto started = nowMs();
        hosts[(size_t) i].reset();
        p.reset();
        const auto took = nowMs() - started;
        destruction.add (took);
        EXPECT_LT (took, destructionBoundMs) << "instance " << i;
        perInstance += " #" + std::to_string (i) + ":" + juce::String (took, 0).toStdString() + "ms("
                       + std::to_string (inFlight) + (rendering ? "+take" : "") + ")";
    }

    const auto after = censusAfterSettling (baseline);
    EXPECT_TRUE (after.pluginThreads.empty()) << after.describePluginThreads();
    EXPECT_LE (after.total, baseline.total);
    EXPECT_EQ (busyAtDestruction, count);
    EXPECT_GT (svc.requestsTo ("/v1/renders").size(), (size_t) count);

    std::cout << "[ figures  ] " << count << " in-process instances created in " << createdMs << " ms; "
              << clips << " phrases rendered before destruction; " << busyAtDestruction << " busy when destroyed\n"
              << "[ figures  ] destruction " << destruction.describe() << "\n[ figures  ]" << perInstance << "\n"
              << "[ figures  ] threads: baseline " << baseline.total << ", running " << whileRunning.total
              << " (" << whileRunning.pluginThreads.size() << " of the plug-in), after " << after.total << "\n";
}

TEST (InstanceStress, BundleInstancesInParallelDestroyedWhileFetching)
{
    service::RenderService::Options options;
    options.autoApprove = true;
    service::RenderService svc (options);
    ASSERT_TRUE (svc.start());
    // Every library fetch stays in flight until its instance is destroyed, however
    // long opening and playing the instances take (a sanitized build is slow).
    svc.delayReplies ("/v1/pmis", 20000, 1000);

    // A signed-in state pointing at the service: loading it starts a fetch.
    juce::MemoryBlock signedIn;
    {
        Processor source;
        signIn (source, svc);
        source.getStateInformation (signedIn);
    }
    const auto hostState = hostStateCarrying (signedIn);

    {
        auto warmUp = loadBundle();
        ASSERT_NE (warmUp, nullptr);
        warmUp->prepareToPlay (48000.0, blockSize);
    }
    const auto baseline = censusAfterSettling (takeThreadCensus());
    ASSERT_TRUE (baseline.pluginThreads.empty()) << baseline.describePluginThreads();
    const auto fetchesBefore = svc.requestsTo ("/v1/pmis").size();

    constexpr int threads = 4, perThread = 2, count = threads * perThread;
    std::vector<std::unique_ptr<juce::AudioPluginInstance>> plugins;
    Figures opening;
    for (int i = 0; i < count; ++i)
    {
        const auto started = nowMs();
        plugins.push_back (loadBundle (48000.0, blockSize));
        opening.add (nowMs() - started);
        ASSERT_NE (plugins.back(), nullptr);
        plugins.back()->setStateInformation (hostState.getData(), (int) hostState.getSize());
        plugins.back()->prepareToPlay (48000.0, blockSize);
    }
    const auto whileRunning = takeThreadCensus();

    std::vector<Played> played ((size_t) count);
    runOnThreads (threads, [&] (int t)
    {
        juce::AudioBuffer<float> buffer (2, blockSize);
        juce::MidiBuffer midi;
        for (int k = 0; k < perThread; ++k)
        {
            const int i = t * perThread + k;
            RandomPerformer performer (200 + i);
            for (int b = 0; b < blocksPerInstance; ++b)
            {
                performer.fill (midi, blockSize);
                plugins[(size_t) i]->processBlock (buffer, midi);
                if (! played[(size_t) i].bad.found())
                    played[(size_t) i].bad = findBadSample (buffer);
                played[(size_t) i].peak = juce::jmax (played[(size_t) i].peak, buffer.getMagnitude (0, blockSize));
            }
        }
    });

    for (int i = 0; i < count; ++i)
    {
        EXPECT_FALSE (played[(size_t) i].bad.found()) << "instance " << i << ": " << played[(size_t) i].bad;
        EXPECT_GT (played[(size_t) i].peak, 0.0f) << "instance " << i;
    }

    // Every instance's fetch has reached the service and is waiting on its reply.
    EXPECT_TRUE (pumpUntil ([&] { return svc.requestsTo ("/v1/pmis").size() >= fetchesBefore + (size_t) count; }, 5000));
    const auto libraryThreads = takeThreadCensus().pluginThreads;
    const auto fetching = std::count (libraryThreads.begin(), libraryThreads.end(), std::string ("marlune-library"));
    EXPECT_EQ (fetching, count);

    std::vector<int> order ((size_t) count);
    std::iota (order.begin(), order.end(), 0);
    std::mt19937 shuffler (7u);
    std::shuffle (order.begin(), order.end(), shuffler);

    Figures destruction;
    for (int i : order)
    {
        const auto started = nowMs();
        plugins[(size_t) i]->releaseResources();
        plugins[(size_t) i].reset();
        const auto took = nowMs() - started;
        destruction.add (took);
        // A cancelled fetch ends well before its reply would have come.
        EXPECT_LT (took, destructionBoundMs) << "instance " << i;
    }

    const auto after = censusAfterSettling (baseline);
    EXPECT_TRUE (after.pluginThreads.empty()) << after.describePluginThreads();
    // The bundle's own copy of the framework keeps helper threads of its own
    // (its timer and message threads) whose number may differ by one from the
    // baseline; the threads of the plug-in itself are checked by name above.
    EXPECT_LE (after.total, baseline.total + 1);

    std::cout << "[ figures  ] " << count << " bundle instances opened: " << opening.describe() << "\n"
              << "[ figures  ] destruction while fetching " << destruction.describe() << "\n"
              << "[ figures  ] threads: baseline " << baseline.total << ", running " << whileRunning.total
              << " (" << whileRunning.pluginThreads.size() << " of the plug-in), after " << after.total << "\n";
}

#pragma once

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_audio_formats/juce_audio_formats.h>

#include "OwnedTasks.h"

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <vector>

/** The service address used when "MARLUNE_ORVANE_API" is not set. */
inline constexpr const char* kProductionServiceUrl = "https://api.marlune.app";

/** Environment variable that overrides the service address. */
inline constexpr const char* kServiceUrlVariable = "MARLUNE_ORVANE_API";

/** Waits that are seconds long by design. Tests shorten them through
    MarluneInstrumentProcessor::timings; the production values never change. */
namespace marlune::waits
{
    inline constexpr int renderRetryPauseMs = 3000;   // between warm-up polls and phrase retries
    inline constexpr int signInPollPauseMs  = 2000;   // between device-code polls
    inline constexpr int workerStopPatienceMs = 2000; // per worker, when stopping
    inline constexpr int maxWarmupPolls = 60;
    inline constexpr int maxPhrasePosts = 5;
    inline constexpr int maxSignInPolls = 150;
}

class MarluneInstrumentProcessor : public juce::AudioProcessor,
                                   public juce::Timer
{
public:
    //==============================================================================
    struct NoteEv
    {
        double start = 0.0;
        double duration = 0.0;
        juce::int32 pitch = 0;
        juce::int32 velocity = 0;
        juce::int64 startSample = 0;
        bool open = false;
    };

    struct BendEv
    {
        double time = 0.0;
        float value = 0.0f;
    };

    struct NoteInfo
    {
        double start = 0.0;
        double duration = 0.0;
        juce::int32 pitch = 0;
        juce::int32 velocity = 0;
    };

    struct Region
    {
        juce::int64 startSample = 0;
        juce::AudioBuffer<float> audio;
    };

    struct RenderJob
    {
        std::vector<NoteEv> notes;
        std::vector<BendEv> bends;
        std::vector<BendEv> mods;
        juce::int64 startSample = 0;
        double totalDuration = 0.0;
    };

    struct PmiInfo
    {
        juce::String slug;
        juce::String name;
        juce::String description;
    };

    struct CurveData
    {
        bool ok = false;
        juce::String error;
        double frameRate = 250.0;
        std::vector<float> f0Hz;
        std::vector<float> rawLoudnessDb;
        std::vector<float> modelLoudnessDb;
        std::vector<juce::uint8> gateMask;
    };

    struct CurveInput
    {
        std::vector<NoteInfo> notes;
        std::vector<BendEv> bends;
        std::vector<BendEv> mods;
        double totalDuration = 0.0;
    };

    /** The whole take a render worker posts; each worker keeps its own copy, so
        a worker that outlives its stop request never reads a replaced one. */
    struct TakeSnapshot
    {
        std::vector<NoteEv> notes;
        std::vector<BendEv> bends;
        std::vector<BendEv> mods;
        juce::int64 startSample = 0;
        double duration = 0.0;
    };

    enum State : juce::int32 { Idle = 0, Armed = 1, Capturing = 2, Rendering = 3, Error = 4 };

    //==============================================================================
    MarluneInstrumentProcessor();
    ~MarluneInstrumentProcessor() override;

    const juce::String getName() const override;
    void prepareToPlay (double sampleRate, int maximumExpectedSamplesPerBlock) override;
    void releaseResources() override;
    void processBlock (juce::AudioBuffer<float>&, juce::MidiBuffer&) override;
    using juce::AudioProcessor::processBlock;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    bool isMidiEffect() const override;
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;
    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram (int) override;
    const juce::String getProgramName (int) override;
    void changeProgramName (int, const juce::String&) override;
    void getStateInformation (juce::MemoryBlock&) override;
    void setStateInformation (const void*, int) override;
    bool isBusesLayoutSupported (const BusesLayout&) const override;
    void timerCallback() override;

    //==============================================================================
    // Operations the editor calls (message thread).
    void arm();
    void resetCapture();
    void clearRegions();
    void signIn();
    void signOut();
    void resetStreaming();
    void refreshLibrary();
    std::vector<PmiInfo> getLibrary() const;

    // Status line: every writer replaces the whole text; the latest wins.
    void setStatus (const juce::String& text);
    juce::String getStatus() const;

    // Small readers for the editor and tools.
    bool isSignedIn() const;
    int getNumRegions() const;
    juce::String getLastTakeFile() const;
    juce::String getSelectedPmi() const;
    juce::String getBackendUrl() const;
    void setBackendUrl (const juce::String&);
    juce::String getAccountEmail() const;
    CurveData getCurves() const;

    //==============================================================================
    // Worker entry points.
    void runRender (const TakeSnapshot& take);
    void runPhraseWorker();
    bool renderOneJob (const RenderJob& job);
    void dispatchReadyChunks (bool final);
    void runCurveFetch();

    //==============================================================================
    // Settings record (saved-state keys). Numbers are floats, switches bools.
    std::atomic<float> attack { 0.007f };
    std::atomic<float> decay { 5.0f };
    std::atomic<float> sustain { 0.01f };
    std::atomic<float> release { 0.005f };
    std::atomic<float> loudnessGainDb { 10.0f };
    std::atomic<float> velocityCurve { 1.0f };
    std::atomic<bool>  normalizeLoudness { true };
    std::atomic<float> timbreDynamics { 0.75f };
    std::atomic<float> noiseDb { -80.0f };
    std::atomic<float> loudnessFloor { -80.0f };
    std::atomic<float> gateDb { -80.0f };
    std::atomic<bool>  playRegions { true };
    std::atomic<float> bendRange { 2.0f };
    std::atomic<bool>  muted { false };
    std::atomic<float> decayCurve { 4.0f };
    std::atomic<float> monitorRelease { 0.005f };
    std::atomic<float> outputLevel { 0.0f };
    std::atomic<bool>  use48kModel { true };
    std::atomic<float> reverbTailMs { 250.0f };
    std::atomic<bool>  chunkAtSilence { true };
    std::atomic<bool>  streamWhileRecording { true };
    std::atomic<float> vibratoSpeedHz { 5.0f };
    std::atomic<float> vibratoAmount { 0.0f };
    std::atomic<float> vibratoMaxSemis { 0.5f };

    //==============================================================================
    // Monitoring synthesiser (audio thread only).
    double currentSampleRate = 48000.0;
    juce::ADSR monitorEnvelope;
    float envelopeSettingsSeen[4] = { -1.0f, -1.0f, -1.0f, -1.0f };
    double oscPhase = 0.0;
    static constexpr int maxHeldKeys = 16;
    juce::int32 heldNotes[maxHeldKeys] = {};
    float heldVelocities[maxHeldKeys] = {};
    juce::int32 heldCount = 0;
    float monitorGain = 0.2f;
    float targetVelocity = 1.0f;
    float smoothedVelocity = 0.0f;
    double velocitySmoothing = 0.007;
    double noteFrequency = 0.0;
    float targetBend = 0.0f;
    float smoothedBend = 0.0f;
    double bendSmoothing = 0.005;
    float smoothedVibrato = 0.0f;
    double vibratoPhase = 0.0;

    //==============================================================================
    // Capture.
    static constexpr int noteCapacity = 4096;
    static constexpr int bendCapacity = 16384;
    static constexpr int modCapacity = 4096;
    static constexpr int cutPointCapacity = 1024;
    static constexpr int regionCapacity = 64;

    std::vector<NoteEv> capturedNotes;
    std::vector<BendEv> capturedBends;
    std::vector<BendEv> capturedMods;
    juce::int64 captureStartSample = 0;
    juce::int64 captureEndSample = 0;
    bool wasPlaying = false;
    std::atomic<juce::int32> state { Idle };
    std::atomic<bool> captureEnded { false };

    // Takes.
    std::vector<Region> regions;
    mutable juce::SpinLock regionsLock;
    juce::AudioBuffer<float> tailBuffer;
    juce::int32 tailLength = 336;
    bool tailValid = false;
    bool tailFading = false;
    juce::int32 tailPosition = 0;

    // Whole-take snapshot, written by the timer before a render worker starts.
    std::vector<NoteEv> takeNotes;
    std::vector<BendEv> takeBends;
    std::vector<BendEv> takeMods;
    juce::int64 takeStartSample = 0;
    double takeDuration = 0.0;

    // Cut points and chunker state (captureLock).
    juce::SpinLock captureLock;
    juce::int32 heldNoteCount = 0;
    juce::int32 phraseNoteCount = 0;
    juce::int64 silenceStartSample = -1;
    bool gapSeen = true;
    std::vector<juce::int64> cutPoints;
    juce::int32 nextNoteIndex = 0;
    juce::int32 cutPointsConsumed = 0;
    std::atomic<bool> awaitingCompletion { false };
    std::atomic<bool> capturedOffline { false };

    // Phrase jobs.
    juce::CriticalSection jobQueueMutex;
    std::deque<RenderJob> jobQueue;
    juce::WaitableEvent phraseEvent;
    std::atomic<juce::int32> jobsDispatched { 0 };
    std::atomic<juce::int32> clipsRendered { 0 };
    std::atomic<juce::int32> jobsInFlight { 0 };
    juce::CriticalSection streamMutex;
    juce::AudioBuffer<float> streamBuffer;
    juce::int64 streamOriginSample = 0;
    double streamSampleRate = 48000.0;

    //==============================================================================
    // Worker threads. Each holds a plain pointer to its owner, who stops them.
    class Worker : public marlune::StoppableThread
    {
    public:
        Worker (MarluneInstrumentProcessor* ownerToUse, TakeSnapshot takeToRender);
        void run() override;
        MarluneInstrumentProcessor* owner;
        const TakeSnapshot take;
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Worker)
    };

    class PhraseWorker : public marlune::StoppableThread
    {
    public:
        explicit PhraseWorker (MarluneInstrumentProcessor* ownerToUse);
        void run() override;
        MarluneInstrumentProcessor* owner;
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PhraseWorker)
    };

    class CurveWorker : public marlune::StoppableThread
    {
    public:
        explicit CurveWorker (MarluneInstrumentProcessor& ownerToUse);
        ~CurveWorker() override;
        void run() override;
        MarluneInstrumentProcessor& owner;
        JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (CurveWorker)
    };

    std::vector<std::unique_ptr<PhraseWorker>> phraseWorkers;

    // Status line and take file.
    mutable juce::CriticalSection statusLock;
    juce::String statusText { "Idle - arm, then play a segment to capture." };
    mutable juce::CriticalSection lastTakeFileMutex;
    juce::String lastTakeFile;

    // Service address.
    mutable juce::CriticalSection backendUrlLock;
    juce::String backendUrl;

    std::unique_ptr<Worker> renderWorker;
    // Render workers that overran their stop wait when a newer take replaced
    // them; kept (never deleted while running) until they finish.
    std::vector<std::unique_ptr<Worker>> retiredRenderWorkers;

    // Curves.
    juce::CriticalSection curveInputMutex;
    CurveInput curveInput;
    mutable juce::CriticalSection curvesLock;
    CurveData curves;
    std::atomic<juce::int32> curveRequestCount { 0 };
    juce::WaitableEvent curveEvent;
    std::unique_ptr<CurveWorker> curveWorker;

    // Account.
    mutable juce::CriticalSection accountLock;
    juce::String accessToken;
    juce::String refreshToken;
    juce::String accountEmail;
    juce::CriticalSection refreshMutex;

    // Library.
    mutable juce::CriticalSection libraryLock;
    std::vector<PmiInfo> library;
    juce::String selectedPmi { "nylon-guitar" };
    std::atomic<juce::int32> libraryVersion { 0 };

    //==============================================================================
    // Seams. Production values are the named constants above; tests shorten the
    // waits and record the browser address instead of opening it.
    struct Timings
    {
        std::atomic<int> renderRetryPauseMs { marlune::waits::renderRetryPauseMs };
        std::atomic<int> signInPollPauseMs { marlune::waits::signInPollPauseMs };
    };
    Timings timings;

    /** Opens the sign-in page; replaced by tests. Only http and https reach it. */
    std::function<void (const juce::URL&)> openBrowser;

    /** Sign-in and library tasks: started at once, stopped and joined by the destructor. */
    marlune::TaskPool tasks;

private:
    // Audio-thread pieces of processBlock.
    void refreshEnvelopeSettings();
    void startCaptureIfArmed (bool isPlaying, juce::int64 blockStart, bool offline, juce::int32& blockState);
    void handleMidiEvent (const juce::MidiMessage&, juce::int64 hostSample, juce::int32 blockState);
    void captureNoteOn (int pitch, int velocity, juce::int64 hostSample);
    void captureNoteOff (int pitch, juce::int64 hostSample);
    void synthNoteOn (int note, int velocity);
    void synthNoteOff (int note);
    void renderSynth (juce::AudioBuffer<float>& buffer, int startSample, int numSamples);
    void resetNonFiniteVoiceState() noexcept;
    bool takesAreHeard (bool isPlaying, juce::int32 blockState) const;
    void playRegionsInPlace (juce::AudioBuffer<float>& buffer, juce::int64 blockStart, int numSamples);
    static void mixRegionSpan (juce::AudioBuffer<float>& buffer, const Region& region,
                               juce::int64 blockStart, juce::int64 s, juce::int64 e, int fade);

    /** Per region, the parts of the current block that no later region
        covers at full gain (audio thread only; sized for the reserved regions). */
    struct VisibleSpans { juce::int64 beforeStart = 0, beforeEnd = 0, afterStart = 0, afterEnd = 0; };
    std::array<VisibleSpans, regionCapacity> visibleSpans {};
    void snapshotTail (juce::int64 blockEnd);
    void startStopFadeIfNeeded();
    void runStopFade (juce::AudioBuffer<float>& buffer, int numSamples);
    void updateOutputMeter (const juce::AudioBuffer<float>& buffer);

    // Message-thread and worker pieces.
    void handleCaptureEnd();
    void startWholeTakeRender();
    void stopRenderWorker();
    void phraseCompletionCheck();
    bool publishRegion (juce::int64 startSample, juce::AudioBuffer<float>&& audio);
    void setLastTakeFile (const juce::String& path);
    void runSignIn (marlune::TaskPool::Task& task, juce::String base);
    void runLibraryFetch (juce::String base);
    bool waitForWarmEngine (const juce::String& body, juce::MemoryBlock& reply, int& status,
                            juce::String& error, juce::String& token);

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MarluneInstrumentProcessor)
};

#include "InstrumentProcessor.h"
#include "OrvaneEditor.h"

#include <cmath>

namespace
{
    juce::String initialServiceUrl()
    {
        auto fromEnvironment = juce::SystemStats::getEnvironmentVariable (kServiceUrlVariable, {});
        return fromEnvironment.isNotEmpty() ? fromEnvironment : juce::String (kProductionServiceUrl);
    }

    double onePoleCoefficient (double timeConstantSeconds, double sampleRate)
    {
        return 1.0 - std::exp (-1.0 / (timeConstantSeconds * sampleRate));
    }

    int stopTailLength (double sampleRate)
    {
        const auto samples = (int) (0.007 * sampleRate);
        return samples >= 33 ? samples : 32;
    }
}

//==============================================================================
MarluneInstrumentProcessor::MarluneInstrumentProcessor()
    : juce::AudioProcessor (BusesProperties().withOutput ("Output", juce::AudioChannelSet::stereo(), true))
{
    capturedNotes.reserve (noteCapacity);
    takeNotes.reserve (noteCapacity);
    capturedMods.reserve (modCapacity);
    takeMods.reserve (modCapacity);
    capturedBends.reserve (bendCapacity);
    takeBends.reserve (bendCapacity);
    regions.reserve (regionCapacity);

    backendUrl = initialServiceUrl();

    openBrowser = [] (const juce::URL& url) { url.launchInDefaultBrowser(); };

    startTimer (50);

    curveWorker = std::make_unique<CurveWorker> (*this);
    curveWorker->startThread();

    cutPoints.reserve (cutPointCapacity);

    streamWhileRecording.store (true);

    for (int i = 0; i < 3; ++i)
    {
        phraseWorkers.push_back (std::make_unique<PhraseWorker> (this));
        phraseWorkers.back()->startThread();
    }
}

MarluneInstrumentProcessor::~MarluneInstrumentProcessor()
{
    stopTimer();

    // Every thread is asked to stop, and its request cancelled, before any is
    // joined: a cancelled request only notices at its next socket wait (up to
    // about a second), so stopping them one after another would add the waits
    // up. The exit flags are all up before the first wake-up signal, since the
    // auto-reset events wake whichever worker waits.
    tasks.requestStopAll();

    if (renderWorker != nullptr)
        renderWorker->requestStop();

    for (auto& retired : retiredRenderWorkers)
        retired->requestStop();

    for (auto& worker : phraseWorkers)
        worker->requestStop();

    if (curveWorker != nullptr)
        curveWorker->requestStop();

    // Then they are joined: the tasks (which may start further work) first,
    // then the render worker, the phrase workers and the curve worker.
    const auto patience = marlune::waits::workerStopPatienceMs;
    tasks.stopAll (patience);

    if (renderWorker != nullptr)
        renderWorker->stopAndJoin (patience);

    for (auto& retired : retiredRenderWorkers)
        retired->stopAndJoin (patience);

    for (auto& worker : phraseWorkers)
    {
        phraseEvent.signal();
        worker->stopAndJoin (patience);
    }

    if (curveWorker != nullptr)
    {
        curveEvent.signal();
        curveWorker->stopAndJoin (patience);
    }
}

//==============================================================================
const juce::String MarluneInstrumentProcessor::getName() const { return "Marlune Orvane"; }
void MarluneInstrumentProcessor::releaseResources() {}
double MarluneInstrumentProcessor::getTailLengthSeconds() const { return 0.0; }
bool MarluneInstrumentProcessor::acceptsMidi() const { return true; }
bool MarluneInstrumentProcessor::producesMidi() const { return false; }
bool MarluneInstrumentProcessor::isMidiEffect() const { return false; }
juce::AudioProcessorEditor* MarluneInstrumentProcessor::createEditor() { return new MarluneOrvaneEditor (*this); }
bool MarluneInstrumentProcessor::hasEditor() const { return true; }
int MarluneInstrumentProcessor::getNumPrograms() { return 1; }
int MarluneInstrumentProcessor::getCurrentProgram() { return 0; }
void MarluneInstrumentProcessor::setCurrentProgram (int) {}
const juce::String MarluneInstrumentProcessor::getProgramName (int) { return {}; }
void MarluneInstrumentProcessor::changeProgramName (int, const juce::String&) {}

bool MarluneInstrumentProcessor::isBusesLayoutSupported (const BusesLayout& layouts) const
{
    if (layouts.outputBuses.isEmpty())
        return false;

    const auto main = layouts.getMainOutputChannelSet();
    return main == juce::AudioChannelSet::mono() || main == juce::AudioChannelSet::stereo();
}

//==============================================================================
void MarluneInstrumentProcessor::prepareToPlay (double sampleRate, int)
{
    currentSampleRate = sampleRate;
    monitorEnvelope.setSampleRate (sampleRate);

    heldCount = 0;
    oscPhase = 0.0;
    smoothedVelocity = 0.0f;
    noteFrequency = 0.0;
    targetBend = 0.0f;
    smoothedBend = 0.0f;

    bendSmoothing = onePoleCoefficient (0.004, sampleRate);
    velocitySmoothing = onePoleCoefficient (0.003, sampleRate);

    wasPlaying = false;

    tailLength = stopTailLength (sampleRate);
    if (tailBuffer.getNumChannels() != 1 || tailBuffer.getNumSamples() != tailLength)
        tailBuffer.setSize (1, tailLength);
    tailBuffer.clear();

    tailValid = false;
    tailFading = false;
    tailPosition = 0;
}

void MarluneInstrumentProcessor::processBlock (juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi)
{
    const juce::ScopedNoDenormals noDenormals;

    buffer.clear();

    bool isPlaying = false;
    juce::int64 blockStart = 0;
    bool offline = isNonRealtime();

    if (auto* playHead = getPlayHead())
    {
        if (const auto position = playHead->getPosition())
        {
            isPlaying = position->getIsPlaying();
            blockStart = position->getTimeInSamples().orFallback (0);
        }
    }

    const int numSamples = buffer.getNumSamples();

    if (isPlaying != wasPlaying)
    {
        targetBend = 0.0f;
        smoothedBend = 0.0f;
    }

    auto blockState = state.load();
    startCaptureIfArmed (isPlaying, blockStart, offline, blockState);

    refreshEnvelopeSettings();

    int rendered = 0;
    for (const auto metadata : midi)
    {
        const int offset = juce::jlimit (0, numSamples, metadata.samplePosition);
        renderSynth (buffer, rendered, offset - rendered);
        rendered = juce::jmax (rendered, offset);
        handleMidiEvent (metadata.getMessage(), blockStart + offset, blockState);
    }
    renderSynth (buffer, rendered, numSamples - rendered);

    if (! isPlaying)
    {
        if (blockState == Capturing)
        {
            state.store (Rendering);
            captureEnded.store (true);
        }

        startStopFadeIfNeeded();
    }
    else
    {
        captureEndSample = blockStart + numSamples;

        if (blockState == Capturing && offline)
            capturedOffline.store (true);

        if (takesAreHeard (isPlaying, blockState))
            playRegionsInPlace (buffer, blockStart, numSamples);

        tailValid = false;
        if (takesAreHeard (isPlaying, blockState))
            snapshotTail (blockStart + numSamples);
        tailFading = false;
    }

    if (! isPlaying)
        runStopFade (buffer, numSamples);

    updateOutputMeter (buffer);

    wasPlaying = isPlaying;
}

void MarluneInstrumentProcessor::updateOutputMeter (const juce::AudioBuffer<float>& buffer)
{
    float peak = 0.0f;

    if (buffer.getNumChannels() > 0 && ! buffer.hasBeenCleared())
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            peak = juce::jmax (peak, buffer.getMagnitude (ch, 0, buffer.getNumSamples()));

    outputLevel.store (juce::jmax (peak, 0.88f * outputLevel.load()));
}

//==============================================================================
void MarluneInstrumentProcessor::setStatus (const juce::String& text)
{
    const juce::ScopedLock sl (statusLock);
    statusText = text;
}

juce::String MarluneInstrumentProcessor::getStatus() const
{
    const juce::ScopedLock sl (statusLock);
    return statusText;
}

bool MarluneInstrumentProcessor::isSignedIn() const
{
    const juce::ScopedLock sl (accountLock);
    return accessToken.isNotEmpty();
}

int MarluneInstrumentProcessor::getNumRegions() const
{
    const juce::SpinLock::ScopedLockType sl (regionsLock);
    return (int) regions.size();
}

juce::String MarluneInstrumentProcessor::getLastTakeFile() const
{
    const juce::ScopedLock sl (lastTakeFileMutex);
    return lastTakeFile;
}

void MarluneInstrumentProcessor::setLastTakeFile (const juce::String& path)
{
    const juce::ScopedLock sl (lastTakeFileMutex);
    lastTakeFile = path;
}

juce::String MarluneInstrumentProcessor::getSelectedPmi() const
{
    const juce::ScopedLock sl (libraryLock);
    return selectedPmi;
}

juce::String MarluneInstrumentProcessor::getBackendUrl() const
{
    const juce::ScopedLock sl (backendUrlLock);
    return backendUrl;
}

void MarluneInstrumentProcessor::setBackendUrl (const juce::String& url)
{
    const juce::ScopedLock sl (backendUrlLock);
    backendUrl = url;
}

juce::String MarluneInstrumentProcessor::getAccountEmail() const
{
    const juce::ScopedLock sl (accountLock);
    return accountEmail;
}

MarluneInstrumentProcessor::CurveData MarluneInstrumentProcessor::getCurves() const
{
    const juce::ScopedLock sl (curvesLock);
    return curves;
}

//==============================================================================
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new MarluneInstrumentProcessor();
}

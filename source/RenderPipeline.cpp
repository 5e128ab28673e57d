// The message-thread side of rendering (the 50 ms timer, the editor's capture
// operations) and the whole-take render worker.

#include "InstrumentProcessor.h"
#include "DdspClient.h"
#include "PhraseJobs.h"
#include "RenderBody.h"

using namespace marlune;

namespace
{
    const juce::String nothingCapturedText = "Nothing captured - arm and play a segment with notes.";
}

//==============================================================================
// Timer and capture hand-off
void MarluneInstrumentProcessor::timerCallback()
{
    if (streamWhileRecording.load() && state.load() == Capturing)
        dispatchReadyChunks (false);

    if (! captureEnded.exchange (false))
        return;

    handleCaptureEnd();
}

void MarluneInstrumentProcessor::handleCaptureEnd()
{
    if (streamWhileRecording.load())
    {
        dispatchReadyChunks (true);

        if (jobsDispatched.load() != 0)
            return;

        awaitingCompletion.store (false);
        setStatus (nothingCapturedText);
        state.store (Idle);
        return;
    }

    startWholeTakeRender();
}

void MarluneInstrumentProcessor::startWholeTakeRender()
{
    // The capture has ended: the audio thread no longer writes the lists.
    auto snapshot = jobs::makeTakeSnapshot (capturedNotes, capturedBends, capturedMods,
                                            captureStartSample, captureEndSample, currentSampleRate);

    if (snapshot.notes.empty())
    {
        setStatus (nothingCapturedText);
        state.store (Idle);
        return;
    }

    stopRenderWorker();

    takeNotes = snapshot.notes;
    takeBends = snapshot.bends;
    takeMods = snapshot.mods;
    takeStartSample = snapshot.startSample;
    takeDuration = snapshot.duration;

    setStatus ("Rendering your take...");
    renderWorker = std::make_unique<Worker> (this, std::move (snapshot));
    renderWorker->startThread();
}

void MarluneInstrumentProcessor::stopRenderWorker()
{
    // Retired workers that have finished since can go now.
    retiredRenderWorkers.erase (std::remove_if (retiredRenderWorkers.begin(), retiredRenderWorkers.end(),
                                                [] (const auto& w) { return ! w->isThreadRunning(); }),
                                retiredRenderWorkers.end());

    if (renderWorker == nullptr)
        return;

    renderWorker->requestStop();

    // A worker still inside a request after its 2000 ms is not deleted under
    // its own feet: it keeps its own snapshot and is joined later.
    if (! renderWorker->waitForThreadToExit (waits::workerStopPatienceMs))
        retiredRenderWorkers.push_back (std::move (renderWorker));

    renderWorker.reset();
}

void MarluneInstrumentProcessor::resetStreaming()
{
    {
        const juce::ScopedLock sl (jobQueueMutex);
        jobQueue.clear();
    }
    {
        const juce::SpinLock::ScopedLockType sl (captureLock);
        cutPoints.clear();
        nextNoteIndex = 0;
        cutPointsConsumed = 0;
    }

    jobsDispatched.store (0);
    clipsRendered.store (0);
    awaitingCompletion.store (false);
    capturedOffline.store (false);

    const juce::ScopedLock sl (streamMutex);
    if (streamBuffer.getNumChannels() != 1 || streamBuffer.getNumSamples() != 0)
        streamBuffer.setSize (1, 0);
}

//==============================================================================
// The editor's capture operations
void MarluneInstrumentProcessor::arm()
{
    state.store (Armed);
    if (streamWhileRecording.load())
        resetStreaming();
    setStatus ("Armed - play through the segment to capture.");
}

void MarluneInstrumentProcessor::resetCapture()
{
    state.store (Idle);
    resetStreaming();
    setStatus ("Idle - arm, then play a segment to capture.");
}

void MarluneInstrumentProcessor::clearRegions()
{
    // The old clips are freed after the spin lock is released, so the audio
    // thread's try never fails for longer than a swap.
    std::vector<Region> old;
    old.reserve (regionCapacity);
    {
        const juce::SpinLock::ScopedLockType sl (regionsLock);
        regions.swap (old);
        setStatus ("Cleared all takes.");
    }
}

bool MarluneInstrumentProcessor::publishRegion (juce::int64 startSample, juce::AudioBuffer<float>&& audio)
{
    Region region;
    region.startSample = startSample;
    region.audio = std::move (audio);

    const juce::SpinLock::ScopedLockType sl (regionsLock);
    regions.push_back (std::move (region));
    return true;
}

//==============================================================================
// Whole-take render worker
MarluneInstrumentProcessor::Worker::Worker (MarluneInstrumentProcessor* ownerToUse, TakeSnapshot takeToRender)
    : StoppableThread ("marlune-render"), owner (ownerToUse), take (std::move (takeToRender))
{
}

void MarluneInstrumentProcessor::Worker::run()
{
    runWithSlot ([this] { owner->runRender (take); });
}

bool MarluneInstrumentProcessor::waitForWarmEngine (const juce::String& body, juce::MemoryBlock& reply, int& status,
                                                    juce::String& error, juce::String& token)
{
    setStatus ("Engine warming up. This may take a bit longer.");

    for (int poll = 0; poll < waits::maxWarmupPolls; ++poll)
    {
        if (juce::Thread::currentThreadShouldExit() || ! StoppableThread::pauseCurrent (timings.renderRetryPauseMs.load()))
            return false;

        if (! DdspClient::queryWarmupReady (getBackendUrl(), token))
            continue;

        if (DdspClient::postCloudRender (getBackendUrl(), token, body, reply, status, error))
            return true;

        if (! jobs::isWarmingStatus (status))
            return false;
    }
    return false;
}

void MarluneInstrumentProcessor::runRender (const TakeSnapshot& take)
{
    {
        const juce::ScopedLock al (accountLock);
        if (accessToken.isEmpty())
        {
            setStatus ("Sign in to render your take.");
            state.store (Error);
            return;
        }
    }

    const auto settings = BodySettings::from (*this);
    const auto body = writeRenderBody (BodyKind::wholeTake, { &take.notes, nullptr, take.bends, take.mods, take.duration },
                                       settings, getSelectedPmi());

    juce::String token, refresh;
    {
        const juce::ScopedLock al (accountLock);
        token = accessToken;
        refresh = refreshToken;
    }

    juce::MemoryBlock reply;
    juce::String error;
    int status = 0;
    bool posted = DdspClient::postCloudRender (getBackendUrl(), token, body, reply, status, error);

    if (juce::Thread::currentThreadShouldExit())
        return;

    if (! posted && status == 401 && refresh.isNotEmpty())
    {
        juce::String newAccess, newRefresh, refreshError;
        if (! DdspClient::refreshTokens (getBackendUrl(), refresh, newAccess, newRefresh, refreshError))
        {
            {
                const juce::ScopedLock al (accountLock);
                accessToken.clear();
                refreshToken.clear();
            }
            setStatus ("Please sign in again.");
            state.store (Error);
            return;
        }

        {
            const juce::ScopedLock al (accountLock);
            accessToken = newAccess;
            refreshToken = newRefresh;
        }
        token = newAccess;
        posted = DdspClient::postCloudRender (getBackendUrl(), token, body, reply, status, error);

        if (juce::Thread::currentThreadShouldExit())
            return;
    }

    if (! posted && jobs::isWarmingStatus (status))
    {
        posted = waitForWarmEngine (body, reply, status, error, token);

        if (juce::Thread::currentThreadShouldExit())
            return;
    }

    if (! posted)
    {
        setStatus ("Error: " + error);
        state.store (Error);
        return;
    }

    juce::AudioBuffer<float> decoded;
    double fileRate = outputSampleRate (settings.sampleRate);
    if (! DdspClient::wavToBuffer (reply, decoded, fileRate))
    {
        setStatus ("Error: could not decode the guitar audio.");
        state.store (Error);
        return;
    }

    auto mono = jobs::mixToMono (decoded);

    const auto file = juce::File::getSpecialLocation (juce::File::tempDirectory)
                          .getChildFile ("marlune_take_" + juce::String (juce::Time::currentTimeMillis()) + ".wav");
    if (DdspClient::writeWav (file, mono, fileRate))
        setLastTakeFile (file.getFullPathName());

    publishRegion (take.startSample, std::move (mono));

    {
        CurveInput input;
        for (const auto& n : take.notes)
            input.notes.push_back ({ n.start, n.duration, n.pitch, n.velocity });
        input.bends = take.bends;
        input.mods = take.mods;
        input.totalDuration = take.duration;

        const juce::ScopedLock cl (curveInputMutex);
        curveInput = std::move (input);
    }
    ++curveRequestCount;
    curveEvent.signal();

    // A take captured during the host's offline render reaches the host's
    // bounce only when that render is run again, whichever path rendered it.
    setStatus ("Take ready (" + juce::String (getNumRegions()) + " total)"
               + (capturedOffline.load() ? " - run Freeze again to commit." : " - press play to hear it in place."));
    state.store (Idle);
}

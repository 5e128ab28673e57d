// Streaming: the chunker that turns cut points into phrase jobs, and the three
// phrase workers that render them while the user is still playing.

#include "InstrumentProcessor.h"
#include "DdspClient.h"
#include "PhraseJobs.h"
#include "RenderBody.h"

using namespace marlune;

namespace
{
    /** How long an idle phrase worker sleeps before it looks again. */
    constexpr int idleWakeMs = 100;

    const juce::String streamFileName = "marlune_take_stream.wav";

    /** Copies the points of the span (t0, t0 + length], shifted to the span's
        start, with the value in force at t0 as a point at time 0. */
    std::vector<jobs::Processor::BendEv> pointsForSpan (const std::vector<jobs::Processor::BendEv>& points,
                                                        double t0, double length, bool keepZeroCarry)
    {
        std::vector<jobs::Processor::BendEv> out;
        const jobs::Processor::BendEv* carried = nullptr;

        for (const auto& p : points)
        {
            if (p.time <= t0)
                carried = &p;
            else if (p.time <= t0 + length)
                out.push_back ({ p.time - t0, p.value });
        }

        if (carried != nullptr && (keepZeroCarry || carried->value != 0.0f))
            out.insert (out.begin(), { 0.0, carried->value });

        return out;
    }
}

//==============================================================================
namespace marlune::jobs
{
std::optional<Processor::RenderJob> makePhraseJob (const std::vector<Processor::NoteEv>& notes,
                                                   const std::vector<Processor::BendEv>& bends,
                                                   const std::vector<Processor::BendEv>& mods,
                                                   juce::int32& nextNoteIndex,
                                                   juce::int64 a, juce::int64 b,
                                                   juce::int64 captureStart, double sampleRate)
{
    if (nextNoteIndex >= (juce::int32) notes.size())
        return std::nullopt;

    const double t0 = (double) (a - captureStart) / sampleRate;
    const double t1 = (double) (b - captureStart) / sampleRate;

    Processor::RenderJob job;
    double lastNoteEnd = 0.0;

    while (nextNoteIndex < (juce::int32) notes.size() && notes[(size_t) nextNoteIndex].startSample < b)
    {
        auto note = notes[(size_t) nextNoteIndex];
        if (note.open)
            note.duration = juce::jmax (minimumOpenNoteSeconds, t1 - note.start);
        note.start -= t0;
        note.open = false;
        lastNoteEnd = juce::jmax (lastNoteEnd, note.start + note.duration);
        job.notes.push_back (note);
        ++nextNoteIndex;
    }

    if (job.notes.empty())
        return std::nullopt;

    const double length = juce::jmax (minimumRenderSeconds, juce::jmin (lastNoteEnd + phraseTailSeconds, t1 - t0));

    job.bends = pointsForSpan (bends, t0, length, false);
    job.mods = pointsForSpan (mods, t0, length, true);
    job.startSample = a;
    job.totalDuration = length;
    return job;
}

Processor::TakeSnapshot makeTakeSnapshot (const std::vector<Processor::NoteEv>& notes,
                                          const std::vector<Processor::BendEv>& bends,
                                          const std::vector<Processor::BendEv>& mods,
                                          juce::int64 captureStart, juce::int64 captureEnd, double sampleRate)
{
    Processor::TakeSnapshot take;
    const double length = (double) (captureEnd - captureStart) / sampleRate;

    for (auto note : notes)
    {
        if (note.open)
        {
            note.duration = length - note.start;
            if (! (note.duration > minimumOpenNoteSeconds))
                note.duration = minimumOpenNoteSeconds;
        }
        else if (! (note.duration > 0.0))
        {
            continue;
        }

        note.open = false;
        take.notes.push_back (note);
    }

    take.bends = bends;
    take.mods = mods;
    take.startSample = captureStart;
    take.duration = length > minimumRenderSeconds ? length : minimumRenderSeconds;
    return take;
}

juce::AudioBuffer<float> mixToMono (const juce::AudioBuffer<float>& audio)
{
    const int numChannels = audio.getNumChannels();
    juce::AudioBuffer<float> mono (1, audio.getNumSamples());
    mono.clear();

    for (int ch = 0; ch < numChannels; ++ch)
        mono.addFrom (0, 0, audio, ch, 0, audio.getNumSamples(), 1.0f / (float) numChannels);

    // A floating-point reply may carry NaN or infinity; the clip is played on
    // the audio thread as it stands, so it is made finite here.
    auto* samples = mono.getWritePointer (0);
    for (int i = 0; i < mono.getNumSamples(); ++i)
        if (! std::isfinite (samples[i]))
            samples[i] = 0.0f;

    return mono;
}

juce::String progressText (int clipsRendered, int jobsDispatched)
{
    return juce::String (clipsRendered) + "/" + juce::String (jobsDispatched) + " clips rendered...";
}
} // namespace marlune::jobs

//==============================================================================
void MarluneInstrumentProcessor::dispatchReadyChunks (bool final)
{
    std::vector<RenderJob> made;
    {
        const juce::SpinLock::ScopedLockType sl (captureLock);

        const auto spanStart = [this] (int cutIndex)
        {
            return cutIndex == 0 ? captureStartSample : cutPoints[(size_t) cutIndex - 1];
        };

        while (cutPointsConsumed < (juce::int32) cutPoints.size())
        {
            if (auto job = jobs::makePhraseJob (capturedNotes, capturedBends, capturedMods, nextNoteIndex,
                                                spanStart (cutPointsConsumed), cutPoints[(size_t) cutPointsConsumed],
                                                captureStartSample, currentSampleRate))
                made.push_back (std::move (*job));
            ++cutPointsConsumed;
        }

        if (final)
            if (auto job = jobs::makePhraseJob (capturedNotes, capturedBends, capturedMods, nextNoteIndex,
                                                spanStart (cutPointsConsumed), captureEndSample,
                                                captureStartSample, currentSampleRate))
                made.push_back (std::move (*job));
    }

    if (! made.empty())
    {
        {
            const juce::ScopedLock ql (jobQueueMutex);
            for (auto& job : made)
                jobQueue.push_back (std::move (job));
        }

        jobsDispatched += (juce::int32) made.size();

        for (size_t i = 0; i < made.size(); ++i)
            phraseEvent.signal();

        setStatus (jobs::progressText (clipsRendered.load(), jobsDispatched.load()));
    }

    if (final)
    {
        awaitingCompletion.store (true);
        phraseEvent.signal();
    }
}

//==============================================================================
MarluneInstrumentProcessor::PhraseWorker::PhraseWorker (MarluneInstrumentProcessor* ownerToUse)
    : StoppableThread ("marlune-phrases"), owner (ownerToUse)
{
}

void MarluneInstrumentProcessor::PhraseWorker::run()
{
    runWithSlot ([this] { owner->runPhraseWorker(); });
}

void MarluneInstrumentProcessor::runPhraseWorker()
{
    auto* self = juce::Thread::getCurrentThread();

    while (self == nullptr || ! self->threadShouldExit())
    {
        std::optional<RenderJob> job;
        {
            const juce::ScopedLock ql (jobQueueMutex);
            if (! jobQueue.empty())
            {
                job = std::move (jobQueue.front());
                jobQueue.pop_front();
                ++jobsInFlight;
            }
        }

        if (! job)
        {
            phraseCompletionCheck();
            phraseEvent.wait (idleWakeMs);
            continue;
        }

        const bool published = renderOneJob (*job);

        const auto counts = juce::String (clipsRendered.load()) + "/" + juce::String (jobsDispatched.load());
        setStatus (published ? jobs::progressText (clipsRendered.load(), jobsDispatched.load())
                             : "A phrase failed to render (" + counts + ").");

        // The job leaves the count only after its progress text: otherwise an
        // idle worker could declare the take ready in between, and this text
        // would then replace "Take ready" on the status line.
        --jobsInFlight;

        phraseCompletionCheck();
    }
}

void MarluneInstrumentProcessor::phraseCompletionCheck()
{
    if (! awaitingCompletion.load())
        return;

    {
        const juce::ScopedLock ql (jobQueueMutex);
        if (! jobQueue.empty() || jobsInFlight.load() != 0)
            return;
    }

    if (! awaitingCompletion.exchange (false))
        return;

    setStatus ("Take ready (" + juce::String (clipsRendered.load()) + " clips)"
               + (capturedOffline.load() ? " - run Freeze again to commit." : " - press play to hear it in place."));
    state.store (Idle);
}

bool MarluneInstrumentProcessor::renderOneJob (const RenderJob& job)
{
    const auto settings = BodySettings::from (*this);
    const auto body = writeRenderBody (BodyKind::phrase, { &job.notes, nullptr, job.bends, job.mods, job.totalDuration },
                                       settings, {});

    juce::String token;
    {
        const juce::ScopedLock al (accountLock);
        token = accessToken;
    }

    if (token.isEmpty())
    {
        setStatus ("Sign in to render your take.");
        return false;
    }

    juce::MemoryBlock reply;
    juce::String error;
    int status = 0;
    bool posted = DdspClient::postCloudRender (getBackendUrl(), token, body, reply, status, error);

    if (! posted && status == 401)
    {
        const juce::ScopedLock rl (refreshMutex);

        juce::String currentAccess, currentRefresh;
        {
            const juce::ScopedLock al (accountLock);
            currentAccess = accessToken;
            currentRefresh = refreshToken;
        }

        // Another worker may have refreshed the token while this one waited.
        if (currentAccess != token)
        {
            token = currentAccess;
            posted = DdspClient::postCloudRender (getBackendUrl(), token, body, reply, status, error);
        }

        if (! posted && status == 401 && currentRefresh.isNotEmpty())
        {
            juce::String newAccess, newRefresh, refreshError;
            if (! DdspClient::refreshTokens (getBackendUrl(), currentRefresh, newAccess, newRefresh, refreshError))
            {
                {
                    const juce::ScopedLock al (accountLock);
                    accessToken.clear();
                    refreshToken.clear();
                }
                setStatus ("Please sign in again.");
                return false;
            }

            {
                const juce::ScopedLock al (accountLock);
                accessToken = newAccess;
                refreshToken = newRefresh;
            }
            token = newAccess;
            posted = DdspClient::postCloudRender (getBackendUrl(), token, body, reply, status, error);
        }
    }

    for (int retries = 0; ! posted && jobs::isWarmingStatus (status) && retries < waits::maxPhrasePosts - 1; ++retries)
    {
        if (! StoppableThread::pauseCurrent (timings.renderRetryPauseMs.load()))
            break; // the worker is being stopped: abandon the retries

        {
            const juce::ScopedLock al (accountLock);
            token = accessToken;
        }
        posted = DdspClient::postCloudRender (getBackendUrl(), token, body, reply, status, error);
    }

    if (! posted)
    {
        setStatus ("Error: " + error);
        return false;
    }

    juce::AudioBuffer<float> decoded;
    double fileRate = outputSampleRate (settings.sampleRate);
    if (! DdspClient::wavToBuffer (reply, decoded, fileRate))
        return false;

    auto clip = jobs::mixToMono (decoded);

    {
        const juce::ScopedLock sl (streamMutex);

        if (streamBuffer.getNumSamples() == 0)
        {
            streamOriginSample = job.startSample;
            streamSampleRate = fileRate;
        }

        const auto offset = job.startSample - streamOriginSample;
        if (offset >= 0)
        {
            const auto needed = offset + clip.getNumSamples();
            if (needed > streamBuffer.getNumSamples())
                streamBuffer.setSize (1, (int) needed, true, true, false);

            streamBuffer.addFrom (0, (int) offset, clip, 0, 0, clip.getNumSamples());

            const auto file = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile (streamFileName);
            if (DdspClient::writeWav (file, streamBuffer, streamSampleRate))
                setLastTakeFile (file.getFullPathName());
        }
    }

    publishRegion (job.startSample, std::move (clip));
    ++clipsRendered;
    return true;
}

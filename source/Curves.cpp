// Control curves of each whole take (f0, loudness, gate), fetched after the
// take has been published and kept for whoever wants them.

#include "InstrumentProcessor.h"
#include "DdspClient.h"
#include "RenderBody.h"

MarluneInstrumentProcessor::CurveWorker::CurveWorker (MarluneInstrumentProcessor& ownerToUse)
    : StoppableThread ("marlune-curves"), owner (ownerToUse)
{
}

MarluneInstrumentProcessor::CurveWorker::~CurveWorker()
{
    signalThreadShouldExit();
    owner.curveEvent.signal();
    stopAndJoin (marlune::waits::workerStopPatienceMs);
}

void MarluneInstrumentProcessor::CurveWorker::run()
{
    runWithSlot ([this]
    {
        while (! threadShouldExit())
        {
            owner.curveEvent.wait (-1);
            if (threadShouldExit())
                return;
            owner.curveEvent.reset();
            owner.runCurveFetch();
        }
    });
}

namespace
{
    std::vector<float> numbersOf (const juce::var& member)
    {
        std::vector<float> out;
        if (const auto* items = member.getArray())
            for (const auto& item : *items)
                out.push_back ((float) (double) item);
        return out;
    }

    std::vector<juce::uint8> flagsOf (const juce::var& member)
    {
        std::vector<juce::uint8> out;
        if (const auto* items = member.getArray())
            for (const auto& item : *items)
                out.push_back ((bool) item ? 1 : 0);
        return out;
    }

    MarluneInstrumentProcessor::CurveData parseCurveReply (const juce::String& text)
    {
        MarluneInstrumentProcessor::CurveData result;
        juce::var json;

        if (juce::JSON::parse (text, json).failed() || ! json.isObject())
        {
            result.error = "Could not parse the curves response.";
            return result;
        }

        result.ok = true;
        result.frameRate = (double) json.getProperty ("frame_rate", 0.0);
        result.f0Hz = numbersOf (json.getProperty ("f0_hz", {}));
        result.rawLoudnessDb = numbersOf (json.getProperty ("raw_loudness_db", {}));
        result.modelLoudnessDb = numbersOf (json.getProperty ("model_loudness_db", {}));
        result.gateMask = flagsOf (json.getProperty ("gate_mask", {}));
        return result;
    }
}

void MarluneInstrumentProcessor::runCurveFetch()
{
    for (;;)
    {
        if (juce::Thread::currentThreadShouldExit())
            return;

        const auto requestSeen = curveRequestCount.load();

        CurveInput input;
        {
            const juce::ScopedLock cl (curveInputMutex);
            input = curveInput;
        }

        CurveData result;

        if (! input.notes.empty())
        {
            const auto body = marlune::writeRenderBody (marlune::BodyKind::curves,
                                                        { nullptr, &input.notes, input.bends, input.mods, input.totalDuration },
                                                        marlune::BodySettings::from (*this), {});
            const auto base = DdspClient::stripTrailingSlashes (getBackendUrl());

            juce::String reply;
            int status = 0;

            if (! DdspClient::postCurves (base, body, reply, status))
                result.error = "Could not reach the Marlune engine at " + base + ".";
            else if (status != 200)
                result.error = "Backend returned HTTP " + juce::String (status);
            else
                result = parseCurveReply (reply);
        }

        {
            const juce::ScopedLock cl (curvesLock);
            curves = std::move (result);
        }

        if (curveRequestCount.load() == requestSeen)
            return;
    }
}

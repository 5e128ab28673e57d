// Control curves of each whole take (f0, loudness, gate), fetched after the
// take has been published and kept for whoever wants them.

#include "InstrumentProcessor.h"
#include "DdspClient.h"
#include "RenderBody.h"
#include "ReplyParsing.h"

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

void MarluneInstrumentProcessor::runCurveFetch()
{
    for (;;)
    {
        if (juce::Thread::currentThreadShouldExit())
            return;

        // Signals of takes published during the previous fetch are covered by
        // the counter read below; left set, they would wake the worker for a
        // second, redundant fetch of the same input.
        curveEvent.reset();
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
                result = marlune::replies::parseCurveReply (reply);
        }

        {
            const juce::ScopedLock cl (curvesLock);
            curves = std::move (result);
        }

        if (curveRequestCount.load() == requestSeen)
            return;
    }
}

// Device-code sign-in, sign-out, and the library / account / warm-up fetch.
// Both background jobs run as tasks the processor owns and joins.

#include "InstrumentProcessor.h"
#include "DdspClient.h"
#include "ReplyParsing.h"

namespace
{
    bool isWebAddress (const juce::String& address)
    {
        const auto scheme = address.upToFirstOccurrenceOf (":", false, false).trim().toLowerCase();
        return address.containsChar (':') && (scheme == "http" || scheme == "https");
    }
}

//==============================================================================
void MarluneInstrumentProcessor::signIn()
{
    if (isSignedIn())
        return;

    const auto base = getBackendUrl();
    tasks.launch ("marlune-sign-in", [this, base] (marlune::TaskPool::Task& task) { runSignIn (task, base); });
}

void MarluneInstrumentProcessor::runSignIn (marlune::TaskPool::Task& task, juce::String base)
{
    base = DdspClient::stripTrailingSlashes (base);

    juce::String reply, error;
    int status = 0;
    const bool exchanged = DdspClient::httpPostJson (base + "/v1/auth/device/start", "{}", {}, reply, status, error);

    juce::String deviceCode, verifyUrl;
    if (exchanged && status == 200)
    {
        const auto started = marlune::replies::parseDeviceStartReply (reply);
        deviceCode = started.deviceCode;
        verifyUrl = started.verifyUrl;
    }

    if (deviceCode.isEmpty() || verifyUrl.isEmpty())
    {
        if (exchanged && status != 200)
            error = "device/start HTTP " + juce::String (status);
        setStatus ("Sign-in failed: " + error);
        return;
    }

    // The address comes from the network: only a web page may reach the
    // desktop's opener, never a file, script or custom-handler address.
    if (! isWebAddress (verifyUrl))
    {
        setStatus ("Sign-in failed: the service sent an address that is not a web page.");
        return;
    }

    if (openBrowser)
        openBrowser (juce::URL (verifyUrl));

    setStatus ("Finish signing in in your browser...");

    const auto pollUrl = base + "/v1/auth/device/poll";
    const auto pollBody = DdspClient::singleMemberJson ("device_code", deviceCode);

    for (int poll = 0; poll < marlune::waits::maxSignInPolls; ++poll)
    {
        if (! task.pause (timings.signInPollPauseMs.load()))
            return;

        juce::String pollReply, pollError;
        int pollStatus = 0;

        if (! DdspClient::httpPostJson (pollUrl, pollBody, {}, pollReply, pollStatus, pollError))
        {
            if (task.threadShouldExit())
                return;
            setStatus ("Sign-in " + pollError);
            return;
        }

        if (pollStatus == 202)
            continue;

        if (pollStatus != 200)
        {
            setStatus ("Sign-in sign-in expired, please try again");
            return;
        }

        const auto tokens = marlune::replies::parseTokenReply (pollReply);
        const auto& access = tokens.access;
        const auto& refresh = tokens.refresh;

        if (access.isEmpty())
        {
            setStatus ("Sign-in " + pollError);
            return;
        }

        {
            const juce::ScopedLock al (accountLock);
            accessToken = access;
            refreshToken = refresh;
        }
        setStatus ("Signed in - ready to render.");
        refreshLibrary();
        return;
    }

    setStatus ("Sign-in timed out - try again.");
}

void MarluneInstrumentProcessor::signOut()
{
    {
        const juce::ScopedLock al (accountLock);
        accessToken.clear();
        refreshToken.clear();
        accountEmail.clear();
    }
    {
        const juce::ScopedLock ll (libraryLock);
        library.clear();
    }
    ++libraryVersion;
    setStatus ("Signed out.");
}

//==============================================================================
void MarluneInstrumentProcessor::refreshLibrary()
{
    if (! isSignedIn())
        return;

    const auto base = getBackendUrl();
    tasks.launch ("marlune-library", [this, base] (marlune::TaskPool::Task&) { runLibraryFetch (base); });
}

std::vector<MarluneInstrumentProcessor::PmiInfo> MarluneInstrumentProcessor::getLibrary() const
{
    const juce::ScopedLock ll (libraryLock);
    return library;
}

void MarluneInstrumentProcessor::runLibraryFetch (juce::String base)
{
    juce::String token;
    {
        const juce::ScopedLock al (accountLock);
        token = accessToken;
    }
    if (token.isEmpty())
        return;

    juce::String reply, error;
    int status = 0;

    if (DdspClient::httpGetAuth (base, "/v1/pmis", token, reply, status, error))
    {
        auto fetched = marlune::replies::parseLibraryReply (reply);

        {
            const juce::ScopedLock ll (libraryLock);
            library = std::move (fetched);

            const bool selectionListed = std::any_of (library.begin(), library.end(),
                                                      [this] (const PmiInfo& p) { return p.slug == selectedPmi; });
            if (! library.empty() && ! selectionListed)
                selectedPmi = library.front().slug;
        }
        ++libraryVersion;
    }

    if (juce::Thread::currentThreadShouldExit())
        return;

    reply.clear();
    status = 0;
    if (DdspClient::httpGetAuth (base, "/v1/me", token, reply, status, error))
    {
        const auto email = marlune::replies::parseEmailReply (reply);
        const juce::ScopedLock al (accountLock);
        accountEmail = email;
    }

    if (juce::Thread::currentThreadShouldExit())
        return;

    DdspClient::postWarmup (base, token);
}

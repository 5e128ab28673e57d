#pragma once

#include "HostFixture.h"
#include "MarluneService.h"

#include <chrono>
#include <functional>
#include <thread>

namespace marlune::test
{
    /** Polls until the condition holds or the time is up, running the message
        loop meanwhile so that the processor's timer ticks. */
    inline bool eventually (const std::function<bool()>& condition, int timeoutMs = 10000)
    {
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        while (juce::Time::getMillisecondCounterHiRes() < deadline)
        {
            if (condition())
                return true;
            juce::MessageManager::getInstance()->runDispatchLoopUntil (5);
        }
        return condition();
    }

    /** Runs the message loop for a while (timer ticks included). */
    inline void pumpMessages (int milliseconds)
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
    }

    inline juce::String toJuce (const std::string& s) { return juce::String::fromUTF8 (s.c_str(), (int) s.size()); }

    /** A loopback address where nothing listens: bind a port, then free it. */
    int closedLoopbackPort();

    /** A local render service on a free loopback port and a processor that
        talks to it, with the seconds-long waits shortened. */
    class ServiceTest : public ProcessorTest
    {
    protected:
        explicit ServiceTest (service::RenderService::Options options = {})
            : service (withDefaults (std::move (options)))
        {
            started = service.start();
            processor->setBackendUrl (toJuce (service.baseUrl()));
            processor->openBrowser = [this] (const juce::URL& url) { openedAddresses.add (url.toString (true)); };
        }

        ~ServiceTest() override
        {
            host.reset();
            processor.reset();
            service.stop();
        }

        void SetUp() override { ASSERT_TRUE (started) << "the local render service did not start"; }

        /** Signs the processor in with a pair the service accepts. */
        service::TokenPair signInDirectly()
        {
            auto pair = service.issueTokens();
            const juce::ScopedLock al (processor->accountLock);
            processor->accessToken = toJuce (pair.accessToken);
            processor->refreshToken = toJuce (pair.refreshToken);
            return pair;
        }

        juce::String accessToken() const
        {
            const juce::ScopedLock al (processor->accountLock);
            return processor->accessToken;
        }

        juce::String refreshToken() const
        {
            const juce::ScopedLock al (processor->accountLock);
            return processor->refreshToken;
        }

        static service::RenderService::Options withDefaults (service::RenderService::Options o) { return o; }

        service::RenderService service;
        bool started = false;
        juce::StringArray openedAddresses;
    };
}

#pragma once

#include <juce_events/juce_events.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

/** What every fuzz target shares: one JUCE message manager for the process
    (the processor's timer and some shared classes need it) and a check that
    stops the run with a message, so a broken property counts as a crash. */
namespace marlune::fuzz
{
    inline void initialiseJuce()
    {
        // Never destroyed: processors the fuzzers keep for the whole run would
        // otherwise outlive the framework's shutdown at exit.
        static auto* juceInit = new juce::ScopedJuceInitialiser_GUI();
        (void) juceInit;
    }

    [[noreturn]] inline void fail (const char* what, const char* file, int line)
    {
        std::fprintf (stderr, "\nFUZZ CHECK FAILED: %s (%s:%d)\n", what, file, line);
        std::abort();
    }

    /** An address on this machine where nothing listens: a fetch the code under
        test may start fails at once and never leaves the loopback interface. */
    inline constexpr const char* closedLoopbackUrl = "http://127.0.0.1:1";
}

#define FUZZ_CHECK(condition) \
    do { if (! (condition)) ::marlune::fuzz::fail (#condition, __FILE__, __LINE__); } while (false)

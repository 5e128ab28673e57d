// marlune-render: renders a MIDI file through the whole plug-in pipeline.
#include "RenderSession.h"

#include <juce_events/juce_events.h>

#include <iostream>
#include <unistd.h>

int main (int argc, char** argv)
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    marlune::render::Options options;
    int exitCode = 0;
    juce::String message;
    if (! marlune::render::parseArguments (args, options, exitCode, message))
    {
        (exitCode == 0 ? std::cout : std::cerr) << message << std::endl;
        return exitCode;
    }

    // The processor's timer and the workers' hand-offs need the message
    // thread that a host provides: this thread, running the dispatch loop.
    juce::ScopedJuceInitialiser_GUI juceInitialiser;

    const auto result = marlune::render::run (options, std::cout, isatty (STDOUT_FILENO) != 0);

    if (result.exitCode != marlune::render::exitOk)
        std::cerr << "marlune-render: error: " << result.error << std::endl;
    return result.exitCode;
}

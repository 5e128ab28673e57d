#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

#include <cstdlib>
#include <unistd.h>

namespace
{
    /** Each test process gets a temporary folder of its own (the framework's
        temporary directory follows TMPDIR), so tests that CTest runs in
        parallel never share take files such as "marlune_take_stream.wav". */
    class PrivateTemporaryFolder
    {
    public:
        PrivateTemporaryFolder()
            : folder (juce::File::getSpecialLocation (juce::File::tempDirectory)
                          .getChildFile ("marlune-test-" + juce::String ((juce::int64) ::getpid())))
        {
            folder.createDirectory();
            setenv ("TMPDIR", folder.getFullPathName().toRawUTF8(), 1);
        }

        ~PrivateTemporaryFolder() { folder.deleteRecursively(); }

    private:
        juce::File folder;
    };
}

// One message manager for the whole binary: re-creating it between tests is
// known to crash inside JUCE.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    PrivateTemporaryFolder temporaryFolder;
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}

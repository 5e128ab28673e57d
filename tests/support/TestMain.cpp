#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

// One message manager for the whole binary: re-creating it between tests is
// known to crash inside JUCE.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juce;
    return RUN_ALL_TESTS();
}

#pragma once

#include "InstrumentProcessor.h"
#include "JuceCompat.h"
#include "OrvaneDragChip.h"
#include "OrvaneInstrumentPanel.h"
#include "OrvaneLNF.h"
#include "OrvaneLibraryRail.h"

#include <juce_gui_extra/juce_gui_extra.h>

/** Tooltips drawn and placed by the look-and-feel of the component under the
    mouse, rather than by the tooltip window's own. */
class OrvaneTooltipWindow : public juce::TooltipWindow
{
public:
    OrvaneTooltipWindow (juce::Component& parent, int delayMs);
    ~OrvaneTooltipWindow() override;

    juce::String getTipFor (juce::Component&) override;

    /** Hides the tip and lets go of a borrowed look-and-feel that is about to be deleted. */
    void forgetLookAndFeel();

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OrvaneTooltipWindow)
};

/** The plug-in's fixed-size window: the sign-in card, or the rail and the panel. */
class MarluneOrvaneEditor : public juce::AudioProcessorEditor,
                            private juce::Timer
{
public:
    explicit MarluneOrvaneEditor (MarluneInstrumentProcessor&);
    ~MarluneOrvaneEditor() override;

    void paint (juce::Graphics&) override;
    void resized() override;

    /** Polls the processor; public so a test can run exactly one poll. */
    void timerCallback() override;

    /** Rebuilds the face from the processor's state. */
    void syncToState();

    OrvaneInstrumentPanel* getInstrumentPanel() const noexcept { return instrumentPanel.get(); }
    OrvaneTooltipWindow& getTooltipWindow() noexcept { return tooltipWindow; }

private:
    void paintHeader (juce::Graphics&) const;
    void paintSignInCard (juce::Graphics&) const;
    void signOut();

    MarluneInstrumentProcessor& processor;
    OrvaneLNF lnf;
    juce::Image logo;
    juce::TextButton signInButton { "Sign in with Google" };
    juce::TextButton signOutButton { "Sign out" };
    OrvaneLibraryRail rail;
    std::unique_ptr<OrvaneInstrumentPanel> instrumentPanel;
    juce::Label emptyLabel;
    bool lastSignedIn = false;
    int lastLibraryVersion = -1;
    juce::String panelSlug;

    // Last, so it goes first: it may hold the panel's look-and-feel.
    OrvaneTooltipWindow tooltipWindow { *this, 700 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MarluneOrvaneEditor)
};

#include "EditorTestSupport.h"

#include <thread>

using namespace marlune::editortest;

namespace
{
    class EditorShellTest : public EditorFixture
    {
    protected:
        void TearDown() override
        {
            editor.reset();
            EditorFixture::TearDown();
        }

        MarluneOrvaneEditor& openEditor()
        {
            editor.reset (dynamic_cast<MarluneOrvaneEditor*> (processor->createEditor()));
            return *editor;
        }

        template <typename T>
        T& child (const char* id) { return childById<T> (*editor, id); }

        bool visible (const char* id) { return child<juce::Component> (id).isVisible(); }

        bool panelVisible() const { return editor->getInstrumentPanel() != nullptr && editor->getInstrumentPanel()->isVisible(); }

        /** A pixel well inside the sign-in card, left of its texts. */
        juce::Colour cardPixel() { return snapshotOf (*editor).getPixelAt (190, 250); }

        std::unique_ptr<MarluneOrvaneEditor> editor;
    };
}

TEST_F (EditorShellTest, EachFaceShowsItsChildren)
{
    struct Face
    {
        const char* name;
        bool token, library;
        bool signIn, signOut, rail, emptyLabel, panel, card;
    };
    const Face faces[] = {
        { "signed out", false, true, true, false, false, false, false, true },
        { "signed in, no library", true, false, false, true, true, true, false, false },
        { "signed in, library", true, true, false, true, true, false, true, false },
    };

    for (const auto& f : faces)
    {
        SCOPED_TRACE (f.name);
        giveToken (f.token ? "access-token" : "");
        giveLibrary (f.library ? threeInstruments() : std::vector<Processor::PmiInfo> {});
        openEditor();

        EXPECT_EQ (editor->getWidth(), 760);
        EXPECT_EQ (editor->getHeight(), 544);
        EXPECT_FALSE (editor->isResizable());
        EXPECT_EQ (visible ("signInButton"), f.signIn);
        EXPECT_EQ (visible ("signOutButton"), f.signOut);
        EXPECT_EQ (visible ("rail"), f.rail);
        EXPECT_EQ (visible ("emptyLabel"), f.emptyLabel);
        EXPECT_EQ (panelVisible(), f.panel);

        const auto cardTop = palette::panel.brighter (0.05f), cardBottom = palette::panel.darker (0.18f);
        const auto cardAt250 = cardTop.interpolatedWith (cardBottom, (250.0f - 147.0f) / 312.0f);
        EXPECT_EQ (colourDistance (cardPixel(), cardAt250) <= 3, f.card) << cardPixel().toDisplayString (true);
    }
}

TEST_F (EditorShellTest, ChildrenSitWhereTheFacesPutThem)
{
    openEditor();
    EXPECT_EQ (child<juce::Component> ("signInButton").getBounds(), juce::Rectangle<int> (235, 385, 290, 44));
    EXPECT_TRUE (juce::Rectangle<int> (165, 147, 430, 312).contains (child<juce::Component> ("signInButton").getBounds()));
    EXPECT_EQ (child<juce::Component> ("signOutButton").getBounds(), juce::Rectangle<int> (660, 17, 84, 28));

    giveToken();
    giveLibrary (threeInstruments());
    editor->timerCallback();
    EXPECT_EQ (child<juce::Component> ("rail").getBounds(), juce::Rectangle<int> (0, 62, 214, 482));
    ASSERT_NE (editor->getInstrumentPanel(), nullptr);
    EXPECT_EQ (editor->getInstrumentPanel()->getBounds(), juce::Rectangle<int> (230, 78, 514, 450));
    EXPECT_EQ (child<juce::Component> ("emptyLabel").getBounds(), juce::Rectangle<int> (230, 78, 514, 450));
}

TEST_F (EditorShellTest, EmptyLibraryShowsTheHintBesideTheLoadingRail)
{
    giveToken();
    openEditor();

    EXPECT_EQ (child<juce::Label> ("emptyLabel").getText(), "Select an instrument from the library.");
    EXPECT_EQ (child<juce::Label> ("emptyLabel").findColour (juce::Label::textColourId), palette::dim);
    const auto image = snapshotOf (*editor);
    EXPECT_GT (colourDistance (mostDistinctPixel (image, { 230, 290, 514, 30 }, image.getPixelAt (240, 280)),
                               image.getPixelAt (240, 280)), 40) << "the hint is drawn";
}

TEST_F (EditorShellTest, LibraryArrivalShowsThePanelWithinOnePoll)
{
    giveToken();
    openEditor();
    ASSERT_FALSE (panelVisible());

    giveLibrary (threeInstruments());
    editor->timerCallback();

    EXPECT_TRUE (panelVisible());
    EXPECT_FALSE (visible ("emptyLabel"));
}

TEST_F (EditorShellTest, SignOutClearsTheAccountAndShowsTheCardAtOnce)
{
    giveToken();
    giveLibrary (threeInstruments());
    select ("cello");
    openEditor();
    auto* panel = editor->getInstrumentPanel();
    ASSERT_TRUE (panelVisible());

    click (child<juce::TextButton> ("signOutButton"));

    {
        const juce::ScopedLock sl (processor->accountLock);
        EXPECT_TRUE (processor->accessToken.isEmpty());
        EXPECT_TRUE (processor->refreshToken.isEmpty());
        EXPECT_TRUE (processor->accountEmail.isEmpty());
    }
    EXPECT_TRUE (processor->getLibrary().empty());
    EXPECT_EQ (processor->getSelectedPmi(), "cello");
    EXPECT_EQ (processor->getStatus(), "Signed out.");

    EXPECT_TRUE (visible ("signInButton")) << "no poll needed";
    EXPECT_FALSE (visible ("rail"));
    EXPECT_FALSE (panelVisible());
    EXPECT_EQ (editor->getInstrumentPanel(), panel) << "kept, only hidden";
}

TEST_F (EditorShellTest, SignInButtonDoesNothingWhileSignedIn)
{
    giveToken ("kept-token");
    openEditor();
    processor->setStatus ("untouched");

    // Hidden while signed in, but a click that still reaches it must not start a sign-in.
    auto& signIn = child<juce::TextButton> ("signInButton");
    signIn.setVisible (true);
    click (signIn);

    EXPECT_EQ (processor->getStatus(), "untouched");
    const juce::ScopedLock sl (processor->accountLock);
    EXPECT_EQ (processor->accessToken, "kept-token");
}

TEST_F (EditorShellTest, PanelIsRebuiltOnlyWhenTheSelectionChanges)
{
    giveToken();
    giveLibrary (threeInstruments());
    select ("nylon-guitar");
    openEditor();
    auto& rail = child<OrvaneLibraryRail> ("rail");
    const auto releaseOnRow = [&] (int row) { rail.mouseUp (mouseEventAt (rail, { 50.0f, 60.0f + 56.0f * (float) row })); };

    auto* first = editor->getInstrumentPanel();
    releaseOnRow (0);
    EXPECT_EQ (editor->getInstrumentPanel(), first) << "the selected row";

    releaseOnRow (1);
    auto* second = editor->getInstrumentPanel();
    EXPECT_NE (second, first) << "replaced at once, without a poll";
    EXPECT_TRUE (second->isVisible());
    EXPECT_EQ (processor->getSelectedPmi(), "cello");

    editor->timerCallback();
    EXPECT_EQ (editor->getInstrumentPanel(), second) << "the version change alone rebuilds nothing";

    click (child<juce::TextButton> ("signOutButton"));
    giveToken();
    giveLibrary (threeInstruments());
    editor->timerCallback();
    EXPECT_EQ (editor->getInstrumentPanel(), second) << "signing in again shows the same panel";
    EXPECT_TRUE (panelVisible());
}

TEST_F (EditorShellTest, VibratoKnobFollowsTheModWheelWithinOnePoll)
{
    giveToken();
    giveLibrary (threeInstruments());
    openEditor();
    auto& vibrato = childById<juce::Slider> (*editor->getInstrumentPanel(), "vibratoSlider");

    processor->vibratoAmount = 0.73f;   // as controller 1 at the audio thread
    editor->timerCallback();

    EXPECT_NEAR (vibrato.getValue(), 73.0, 1e-3);
    EXPECT_EQ (processor->vibratoAmount.load(), 0.73f) << "following the wheel writes nothing back";
}

TEST_F (EditorShellTest, PollRefreshesThePanelFromTheProcessor)
{
    giveToken();
    giveLibrary (threeInstruments());
    openEditor();
    auto& panel = *editor->getInstrumentPanel();

    processor->state.store (Processor::Rendering);
    processor->setStatus ("Rendering your take...");
    giveRegions (3);
    editor->timerCallback();

    EXPECT_EQ (childById<juce::TextButton> (panel, "armButton").getButtonText(), "RENDERING");
    EXPECT_EQ (childById<juce::Label> (panel, "statusLabel").getText(), "Rendering your take...");
    EXPECT_EQ (childById<juce::Label> (panel, "takesLabel").getText(), "3 takes captured");
}

TEST_F (EditorShellTest, TooltipsArePlacedAndDrawnByTheLookAndFeelOfTheComponentUnderTheMouse)
{
    giveToken();
    giveLibrary (threeInstruments());
    openEditor();
    auto& knob = childById<juce::Slider> (*editor->getInstrumentPanel(), "bendSlider");
    auto& tips = editor->getTooltipWindow();

    tips.getTipFor (knob);   // what the window asks of the component under the mouse
    EXPECT_EQ (&tips.getLookAndFeel(), &knob.getLookAndFeel());
    EXPECT_NE (dynamic_cast<OrvaneLNF*> (&tips.getLookAndFeel()), nullptr);

    const auto mouse = editor->getLocalPoint (&knob, juce::Point<int> (36, 40));
    tips.displayTip (editor->localPointToGlobal (mouse), knob.getTooltip());
    EXPECT_TRUE (tips.isVisible());
    EXPECT_EQ (tips.getParentComponent(), editor.get());
    EXPECT_EQ (tips.getBounds(), knob.getLookAndFeel().getTooltipBounds (knob.getTooltip(), mouse, editor->getLocalBounds()));
    EXPECT_TRUE (editor->getLocalBounds().contains (tips.getBounds()));
    EXPECT_FALSE (tips.isOpaque()) << "its rounded corners show the editor";

    // Replacing the panel must not leave the window on the old panel's look-and-feel.
    auto& rail = child<OrvaneLibraryRail> ("rail");
    rail.mouseUp (mouseEventAt (rail, { 50.0f, 60.0f + 56.0f * 2.0f }));
    EXPECT_FALSE (tips.isVisible());
    EXPECT_EQ (&tips.getLookAndFeel(), &editor->getLookAndFeel());
}

TEST_F (EditorShellTest, OpensAndClosesRepeatedlyWhileTheProcessorWorks)
{
    giveToken();
    giveLibrary (threeInstruments());
    processor->state.store (Processor::Rendering);

    // A stand-in for the workers: publishes clips and status the way they do,
    // regionsLock before statusLock, while editors come and go and poll.
    std::atomic<bool> running { true };
    std::thread worker ([&]
    {
        for (int i = 0; running.load(); ++i)
        {
            {
                const juce::SpinLock::ScopedLockType sl (processor->regionsLock);
                if (processor->regions.size() < 60)
                    processor->regions.push_back ({ i, juce::AudioBuffer<float> (1, 16) });
                processor->setStatus ("Rendering phrase " + juce::String (i));
            }
            processor->outputLevel = (float) (i % 10) / 10.0f;
            std::this_thread::yield();
        }
    });

    for (int round = 0; round < 6; ++round)
    {
        openEditor();
        for (int poll = 0; poll < 5; ++poll)
            editor->timerCallback();
        snapshotOf (*editor);
        if (round % 2 == 1)
            click (childById<juce::TextButton> (*editor->getInstrumentPanel(), "resetButton"));
        editor.reset();
        processor->state.store (Processor::Rendering);
    }

    running = false;
    worker.join();
    SUCCEED();
}

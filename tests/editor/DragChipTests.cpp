#include "EditorTestSupport.h"

using namespace marlune::editortest;

namespace
{
    class DragChipTest : public EditorFixture
    {
    protected:
        void SetUp() override
        {
            EditorFixture::SetUp();
            panel = std::make_unique<OrvaneInstrumentPanel> (*processor);
            panel->setSize (514, 450);
            chip = &childById<OrvaneDragChip> (*panel, "chip");
            chip->startExternalDrag = [this] (const juce::StringArray& files, juce::Component* source)
            {
                drags.push_back (files);
                EXPECT_EQ (source, chip);
            };
        }

        void TearDown() override
        {
            panel.reset();
            EditorFixture::TearDown();
        }

        /** One press with several drag movements, as a user's gesture. */
        void pressAndDrag (int movements)
        {
            const juce::Point<float> down (20.0f, 13.0f);
            chip->mouseDown (mouseEventAt (*chip, down));
            for (int i = 1; i <= movements; ++i)
                chip->mouseDrag (mouseEventAt (*chip, down.translated (5.0f * (float) i, 0.0f), down));
            chip->mouseUp (mouseEventAt (*chip, down.translated (5.0f * (float) movements, 0.0f), down));
        }

        std::unique_ptr<OrvaneInstrumentPanel> panel;
        OrvaneDragChip* chip = nullptr;
        std::vector<juce::StringArray> drags;
    };
}

TEST_F (DragChipTest, HasATakeOnlyWhenTheLastTakeFileExistsAsAFile)
{
    TakeFile take;
    const auto directory = juce::File::getSpecialLocation (juce::File::tempDirectory);
    const std::pair<juce::String, bool> cases[] = {
        { {}, false },
        { directory.getFullPathName(), false },
        { directory.getChildFile ("marlune_take_missing.wav").getFullPathName(), false },
        { take.file.getFullPathName(), true },
        { "relative/take.wav", false },
    };

    for (const auto& [path, expected] : cases)
    {
        giveTakeFile (path);
        panel->refresh();
        EXPECT_EQ (chip->getHasTake(), expected) << "'" << path << "'";
    }
}

TEST_F (DragChipTest, FacesShowWhetherATakeCanBeDragged)
{
    struct Face { bool hasTake; juce::Colour fillAtLeft; juce::Colour outline; juce::Colour text; };
    TakeFile take;

    for (const auto& face : { Face { false, juce::Colours::transparentBlack, palette::hair, palette::dim },
                              Face { true, palette::sage, palette::sage, palette::sage } })
    {
        SCOPED_TRACE (face.hasTake ? "take" : "no take");
        giveTakeFile (face.hasTake ? take.file.getFullPathName() : juce::String());
        panel->refresh();

        const auto image = snapshotOf (*chip);
        const auto inside = image.getPixelAt (12, 13);
        if (face.hasTake)
        {
            EXPECT_THAT (inside, NearColour (face.fillAtLeft, 6));
            EXPECT_EQ (inside.getAlpha(), 0x1A);
        }
        else
        {
            EXPECT_EQ (inside.getAlpha(), 0) << "no fill";
        }

        // The dashed top edge: some pixels drawn, some gaps.
        int drawnPixels = 0, gaps = 0;
        for (int x = 20; x < 120; ++x)
        {
            const auto c = image.getPixelAt (x, 1);
            if (c.getAlpha() <= 0x40)
            {
                ++gaps;
                continue;
            }
            ++drawnPixels;
            EXPECT_THAT (c, NearColour (face.outline, 3));
        }
        EXPECT_GT (drawnPixels, 20);
        EXPECT_GT (gaps, 20);

        EXPECT_THAT (mostDistinctPixel (image, { 10, 6, 120, 14 }, juce::Colours::transparentBlack), NearColour (face.text, 12));
    }
}

TEST_F (DragChipTest, EachPressStartsExactlyOneDragOfTheLastTake)
{
    TakeFile take;
    giveTakeFile (take.file.getFullPathName());
    panel->refresh();

    pressAndDrag (4);
    ASSERT_EQ (drags.size(), 1u);
    EXPECT_EQ (drags[0], juce::StringArray (take.file.getFullPathName()));

    pressAndDrag (2);
    EXPECT_EQ (drags.size(), 2u);
}

TEST_F (DragChipTest, StartsNoDragWithoutATakeOrWhenTheFileVanished)
{
    pressAndDrag (3);
    EXPECT_TRUE (drags.empty()) << "no take yet";

    {
        TakeFile take;
        giveTakeFile (take.file.getFullPathName());
        panel->refresh();
    }
    // The file is gone but the chip has not been refreshed yet.
    ASSERT_TRUE (chip->getHasTake());
    pressAndDrag (3);
    EXPECT_TRUE (drags.empty());
}

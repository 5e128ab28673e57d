#include "EditorTestSupport.h"

using namespace marlune::editortest;
using ::testing::Not;

namespace
{
    class LibraryRailTest : public EditorFixture
    {
    protected:
        void SetUp() override
        {
            EditorFixture::SetUp();
            rail = std::make_unique<OrvaneLibraryRail> (*processor);
            rail->setSize (214, 482);
            rail->onSelect = [this] { ++selects; };
        }

        void TearDown() override
        {
            rail.reset();
            EditorFixture::TearDown();
        }

        void releaseAt (int y) { rail->mouseUp (mouseEventAt (*rail, { 100.0f, (float) y })); }
        void moveTo (int y)    { rail->mouseMove (mouseEventAt (*rail, { 100.0f, (float) y })); }

        /** A pixel inside row i's card, left of its text. */
        juce::Colour cardPixel (const juce::Image& image, int row) const { return image.getPixelAt (16, 46 + 56 * row); }

        std::unique_ptr<OrvaneLibraryRail> rail;
        int selects = 0;
    };
}

TEST_F (LibraryRailTest, ReleasesSelectTheRowWhoseBandHoldsThem)
{
    struct Case { int y; const char* expectedSlug; int versionStep; int selectCalls; };
    // Three rows: bands 40..95, 96..151, 152..207. "cello" starts selected.
    const Case cases[] = {
        { 39, "cello", 0, 0 },              // above the first band
        { 40, "nylon-guitar", 1, 1 },       // first pixel of band 0, above its card
        { 95, "nylon-guitar", 0, 1 },       // last pixel of band 0, in the gap; already selected
        { 96 + 53, "cello", 1, 1 },         // the gap below card 1
        { 152 + 10, "flute", 1, 1 },
        { 208, "flute", 0, 0 },             // below the last row
        { 470, "flute", 0, 0 },
    };

    giveLibrary (threeInstruments());
    select ("cello");

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.y);
        const auto versionBefore = processor->libraryVersion.load();
        const auto selectsBefore = selects;

        releaseAt (c.y);

        EXPECT_EQ (processor->getSelectedPmi(), c.expectedSlug);
        EXPECT_EQ (processor->libraryVersion.load() - versionBefore, c.versionStep);
        EXPECT_EQ (selects - selectsBefore, c.selectCalls);
    }
}

TEST_F (LibraryRailTest, ReleaseOnTheSelectedRowOnlyRunsOnSelect)
{
    giveLibrary (threeInstruments());
    select ("flute");
    const auto version = processor->libraryVersion.load();

    releaseAt (152 + 20);

    EXPECT_EQ (selects, 1);
    EXPECT_EQ (processor->libraryVersion.load(), version);
    EXPECT_EQ (processor->getSelectedPmi(), "flute");
}

TEST_F (LibraryRailTest, HoverHighlightsTheRowUnderTheMouseUntilItLeaves)
{
    giveLibrary (threeInstruments());
    select ("no-such-instrument");
    const auto plain = cardPixel (snapshotOf (*rail), 1);
    EXPECT_THAT (plain, NearColour (palette::railBg, 1));

    moveTo (50);
    moveTo (100);
    EXPECT_EQ (rail->getHoverRow(), 1);
    const auto hovered = snapshotOf (*rail);
    EXPECT_THAT (cardPixel (hovered, 1), NearColour (palette::railBg.overlaidWith (palette::cream.withAlpha ((juce::uint8) 0x0F)), 1));
    EXPECT_THAT (cardPixel (hovered, 0), NearColour (palette::railBg, 1));

    moveTo (20);
    EXPECT_EQ (rail->getHoverRow(), -1) << "above the rows";

    moveTo (100);
    rail->mouseExit (mouseEventAt (*rail, { 300.0f, 100.0f }));
    EXPECT_EQ (rail->getHoverRow(), -1);
    EXPECT_THAT (cardPixel (snapshotOf (*rail), 1), NearColour (palette::railBg, 1));
}

TEST_F (LibraryRailTest, SelectedRowHasAnAccentBarAndTintedCard)
{
    giveLibrary (threeInstruments());
    select ("cello");
    const auto image = snapshotOf (*rail);

    EXPECT_THAT (image.getPixelAt (11, 56 + 56 * 1 + 10), NearColour (palette::honey, 2)) << "accent bar";
    EXPECT_THAT (cardPixel (image, 1), NearColour (palette::railBg.overlaidWith (palette::honey.withAlpha ((juce::uint8) 0x21)), 1));
    EXPECT_THAT (image.getPixelAt (11, 56 + 10), NearColour (palette::railBg, 1)) << "no bar on an unselected row";
}

TEST_F (LibraryRailTest, EmptyDescriptionReadsReady)
{
    std::vector<Processor::PmiInfo> withoutText { { "flute", "Flute", "" } };
    std::vector<Processor::PmiInfo> withReady { { "flute", "Flute", "Ready" } };
    std::vector<Processor::PmiInfo> withOther { { "flute", "Flute", "Breathy" } };

    giveLibrary (withoutText);
    const auto empty = snapshotOf (*rail);
    giveLibrary (withReady);
    const auto ready = snapshotOf (*rail);
    giveLibrary (withOther);
    const auto other = snapshotOf (*rail);

    EXPECT_TRUE (imagesEqual (empty, ready));
    EXPECT_FALSE (imagesEqual (empty, other));
}

TEST_F (LibraryRailTest, SeparatorAndClosingNoteFollowTheLastRow)
{
    for (int n = 1; n <= 3; ++n)
    {
        SCOPED_TRACE (n);
        auto entries = threeInstruments();
        entries.resize ((size_t) n);
        giveLibrary (entries);
        const auto image = snapshotOf (*rail);

        EXPECT_THAT (image.getPixelAt (100, 54 + 56 * n), NearColour (palette::hair, 1)) << "separator";
        EXPECT_THAT (image.getPixelAt (100, 53 + 56 * n), NearColour (palette::railBg, 1));
        EXPECT_THAT (mostDistinctPixel (image, { 20, 66 + 56 * n, 186, 18 }, palette::railBg),
                     Not (NearColour (palette::railBg, 20))) << "closing note";
    }
}

TEST_F (LibraryRailTest, EmptyLibraryShowsTheLoadingNoteAndNoRows)
{
    const auto image = snapshotOf (*rail);

    EXPECT_THAT (mostDistinctPixel (image, { 16, 40, 190, 30 }, palette::railBg), Not (NearColour (palette::railBg, 20)));
    EXPECT_THAT (image.getPixelAt (190, 54), NearColour (palette::railBg, 1)) << "no separator";

    releaseAt (50);
    EXPECT_EQ (selects, 0) << "no rows to click";
}

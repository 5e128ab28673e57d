#pragma once

#include "OrvaneEditor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace marlune::editortest
{
    using Processor = MarluneInstrumentProcessor;

    /** A processor that is never signed in over the network: the address is a
        closed loopback port, and tokens and the library are set by hand. */
    class EditorFixture : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            processor = std::make_unique<Processor>();
            processor->setBackendUrl ("http://127.0.0.1:9");
        }

        void TearDown() override { processor.reset(); }

        void giveToken (const juce::String& token = "access-token")
        {
            const juce::ScopedLock sl (processor->accountLock);
            processor->accessToken = token;
            processor->refreshToken = token.isEmpty() ? juce::String() : juce::String ("refresh-token");
            processor->accountEmail = token.isEmpty() ? juce::String() : juce::String ("player@example.com");
        }

        void giveLibrary (std::vector<Processor::PmiInfo> entries)
        {
            {
                const juce::ScopedLock sl (processor->libraryLock);
                processor->library = std::move (entries);
            }
            ++processor->libraryVersion;
        }

        static std::vector<Processor::PmiInfo> threeInstruments()
        {
            return { { "nylon-guitar", "Nylon Guitar", "Warm classical strings" },
                     { "cello", "Cello", "Bowed, close-miked" },
                     { "flute", "Flute", "" } };
        }

        void select (const juce::String& slug)
        {
            const juce::ScopedLock sl (processor->libraryLock);
            processor->selectedPmi = slug;
        }

        void giveRegions (int count)
        {
            const juce::SpinLock::ScopedLockType sl (processor->regionsLock);
            processor->regions.clear();
            for (int i = 0; i < count; ++i)
            {
                Processor::Region r;
                r.startSample = 48000 * i;
                r.audio.setSize (1, 64);
                r.audio.clear();
                processor->regions.push_back (std::move (r));
            }
        }

        void giveTakeFile (const juce::String& path)
        {
            const juce::ScopedLock sl (processor->lastTakeFileMutex);
            processor->lastTakeFile = path;
        }

        std::unique_ptr<Processor> processor;
    };

    /** A temporary WAV-named file that exists for the test's lifetime. */
    struct TakeFile
    {
        TakeFile() { file.replaceWithText ("RIFF"); }
        juce::TemporaryFile temp { ".wav" };
        juce::File file { temp.getFile() };
    };

    template <typename ComponentType>
    ComponentType* findById (juce::Component& root, const juce::String& id)
    {
        for (auto* child : root.getChildren())
        {
            if (child->getComponentID() == id)
                return dynamic_cast<ComponentType*> (child);
            if (auto* found = findById<ComponentType> (*child, id))
                return found;
        }
        return nullptr;
    }

    template <typename ComponentType>
    ComponentType& childById (juce::Component& root, const juce::String& id)
    {
        auto* c = findById<ComponentType> (root, id);
        if (c == nullptr)
            throw std::runtime_error (("no child " + id).toStdString());
        return *c;
    }

    inline juce::Image snapshotOf (juce::Component& c)
    {
        return c.createComponentSnapshot (c.getLocalBounds(), true, 1.0f);
    }

    /** Paints with the given routine onto an opaque background. */
    template <typename Painter>
    juce::Image drawn (int w, int h, juce::Colour background, Painter&& paint)
    {
        juce::Image image (juce::Image::ARGB, w, h, true);
        juce::Graphics g (image);
        g.fillAll (background);
        paint (g);
        return image;
    }

    inline int colourDistance (juce::Colour a, juce::Colour b)
    {
        return juce::jmax (std::abs ((int) a.getRed() - (int) b.getRed()),
                           std::abs ((int) a.getGreen() - (int) b.getGreen()),
                           std::abs ((int) a.getBlue() - (int) b.getBlue()));
    }

    MATCHER_P2 (NearColour, expected, tolerance, "")
    {
        const auto d = colourDistance (arg, expected);
        *result_listener << "is " << arg.toDisplayString (true).toStdString()
                         << ", expected " << expected.toDisplayString (true).toStdString() << " (distance " << d << ")";
        return d <= tolerance;
    }

    /** The pixel of an area that stands out most from the background: a glyph stem or a stroke. */
    inline juce::Colour mostDistinctPixel (const juce::Image& image, juce::Rectangle<int> area, juce::Colour background)
    {
        juce::Colour best = background;
        int bestDistance = -1;
        for (int y = area.getY(); y < area.getBottom(); ++y)
            for (int x = area.getX(); x < area.getRight(); ++x)
            {
                const auto c = image.getPixelAt (x, y);
                const auto d = colourDistance (c, background) * c.getAlpha();
                if (d > bestDistance)
                {
                    bestDistance = d;
                    best = c;
                }
            }
        return best;
    }

    inline bool imagesEqual (const juce::Image& a, const juce::Image& b)
    {
        if (a.getBounds() != b.getBounds())
            return false;
        for (int y = 0; y < a.getHeight(); ++y)
            for (int x = 0; x < a.getWidth(); ++x)
                if (a.getPixelAt (x, y) != b.getPixelAt (x, y))
                    return false;
        return true;
    }

    inline juce::MouseEvent mouseEventAt (juce::Component& c, juce::Point<float> position, juce::Point<float> downAt)
    {
        const auto now = juce::Time::getCurrentTime();
        return juce::MouseEvent (juce::Desktop::getInstance().getMainMouseSource(), position,
                                 juce::ModifierKeys::leftButtonModifier, juce::MouseInputSource::defaultPressure,
                                 juce::MouseInputSource::defaultOrientation, juce::MouseInputSource::defaultRotation,
                                 juce::MouseInputSource::defaultTiltX, juce::MouseInputSource::defaultTiltY,
                                 &c, &c, now, downAt, now, 1, position != downAt);
    }

    inline juce::MouseEvent mouseEventAt (juce::Component& c, juce::Point<float> position)
    {
        return mouseEventAt (c, position, position);
    }

    /** A press and release at the component's centre, as a user's click. */
    inline void click (juce::Component& c)
    {
        const auto centre = c.getLocalBounds().getCentre().toFloat();
        c.mouseDown (mouseEventAt (c, centre));
        c.mouseUp (mouseEventAt (c, centre));
    }
}

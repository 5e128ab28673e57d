#pragma once

#include "InstrumentProcessor.h"
#include "Vst3Host.h"

#include <juce_gui_basics/juce_gui_basics.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace marlune::validation
{
    /** Nothing in these tests may reach past loopback: every processor made in
        this process (the bundle's included) starts on a closed loopback port. */
    inline constexpr const char* closedLoopbackUrl = "http://127.0.0.1:9";

    struct LoopbackByDefault
    {
        LoopbackByDefault() { ::setenv (kServiceUrlVariable, closedLoopbackUrl, 1); }
    };
    inline const LoopbackByDefault loopbackByDefault;

    inline bool hasDisplay()
    {
        const char* display = std::getenv ("DISPLAY");
        return display != nullptr && *display != 0;
    }

    /** A bare Xvfb runs no window manager, so the atoms one would create
        (WM_STATE among them) do not exist; the framework looks them up "only
        if they exist" and then sends atom 0, which Xlib answers by ending the
        process. Creating them before the framework connects avoids that; the
        connection stays open, since an X server forgets its atoms when its
        last client leaves. */
    struct WindowManagerAtoms
    {
        WindowManagerAtoms()
        {
            if (! hasDisplay())
                return;
            void* x11 = dlopen ("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
            if (x11 == nullptr)
                return;
            using Open = void* (*) (const char*);
            using Intern = unsigned long (*) (void*, const char*, int);
            auto open = reinterpret_cast<Open> (dlsym (x11, "XOpenDisplay"));
            auto intern = reinterpret_cast<Intern> (dlsym (x11, "XInternAtom"));
            if (open != nullptr && intern != nullptr)
            {
                if ((display = open (nullptr)) != nullptr)
                    for (auto* name : { "WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "_NET_WM_PING",
                                        "WM_CHANGE_STATE", "WM_STATE", "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE",
                                        "_NET_WM_STATE_HIDDEN", "_NET_WM_WINDOW_TYPE_NORMAL" })
                        intern (display, name, 0);
            }
        }

        void* display = nullptr;
    };
    inline const WindowManagerAtoms windowManagerAtoms;

    inline double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

    inline void pumpMessages (int milliseconds)
    {
        juce::MessageManager::getInstance()->runDispatchLoopUntil (milliseconds);
    }

    /** Runs the message loop until the condition holds or the time is up. */
    inline bool pumpUntil (const std::function<bool()>& condition, int timeoutMs)
    {
        const auto deadline = nowMs() + timeoutMs;
        while (! condition() && nowMs() < deadline)
            pumpMessages (5);
        return condition();
    }

    //==============================================================================
    /** The first sample that no host should ever receive. */
    struct BadSample
    {
        int channel = -1;
        int index = -1;
        float value = 0.0f;
        const char* kind = "";

        bool found() const noexcept { return channel >= 0; }
    };

    inline ::std::ostream& operator<< (::std::ostream& os, const BadSample& b)
    {
        return os << b.kind << " " << b.value << " at channel " << b.channel << ", sample " << b.index;
    }

    inline BadSample findBadSample (const juce::AudioBuffer<float>& buffer)
    {
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
        {
            const auto* data = buffer.getReadPointer (ch);
            for (int i = 0; i < buffer.getNumSamples(); ++i)
            {
                switch (std::fpclassify (data[i]))
                {
                    case FP_NAN:       return { ch, i, data[i], "NaN" };
                    case FP_INFINITE:  return { ch, i, data[i], "infinity" };
                    case FP_SUBNORMAL: return { ch, i, data[i], "subnormal" };
                    default:           break;
                }
            }
        }
        return {};
    }

    /** Fills a buffer with values an instrument must overwrite, not add to. */
    inline void poison (juce::AudioBuffer<float>& buffer)
    {
        for (int ch = 0; ch < buffer.getNumChannels(); ++ch)
            juce::FloatVectorOperations::fill (buffer.getWritePointer (ch), std::numeric_limits<float>::quiet_NaN(),
                                               buffer.getNumSamples());
    }

    //==============================================================================
    /** A random player: notes on and off, pitch bends and the mod wheel at
        random offsets, never more than a few keys held. */
    class RandomPerformer
    {
    public:
        explicit RandomPerformer (juce::int64 seed) : random (seed) {}

        /** Replaces the buffer's events with this block's (allocates). */
        void fill (juce::MidiBuffer& midi, int numSamples)
        {
            midi.clear();
            const int events = random.nextInt (5);
            for (int e = 0; e < events; ++e)
                midi.addEvent (nextMessage(), random.nextInt (juce::jmax (1, numSamples)));
        }

        void releaseAll (juce::MidiBuffer& midi)
        {
            midi.clear();
            for (auto note : held)
                midi.addEvent (juce::MidiMessage::noteOff (1, note), 0);
            held.clear();
        }

        juce::Random random;

    private:
        juce::MidiMessage nextMessage()
        {
            const int kind = random.nextInt (10);
            if (kind < 4 && held.size() < 4)
            {
                const int note = 36 + random.nextInt (60);
                held.push_back (note);
                return juce::MidiMessage::noteOn (1, note, (juce::uint8) (1 + random.nextInt (127)));
            }
            if (kind < 7 && ! held.empty())
            {
                const auto index = (size_t) random.nextInt ((int) held.size());
                const int note = held[index];
                held.erase (held.begin() + (long) index);
                return juce::MidiMessage::noteOff (1, note);
            }
            if (kind < 9)
                return juce::MidiMessage::pitchWheel (1, random.nextInt (16384));
            return juce::MidiMessage::controllerEvent (1, 1, random.nextInt (128));
        }

        std::vector<int> held;
    };

    //==============================================================================
    /** The process's threads, from /proc/self/task. */
    struct ThreadCensus
    {
        int total = 0;
        std::vector<std::string> pluginThreads;   // named "marlune-..." by the plug-in

        std::string describePluginThreads() const
        {
            std::string s;
            for (const auto& n : pluginThreads)
                s += (s.empty() ? "" : ", ") + n;
            return s;
        }
    };

    inline ThreadCensus takeThreadCensus()
    {
        ThreadCensus census;
        if (auto* dir = opendir ("/proc/self/task"))
        {
            while (auto* entry = readdir (dir))
            {
                if (entry->d_name[0] == '.')
                    continue;
                ++census.total;
                std::ifstream comm (std::string ("/proc/self/task/") + entry->d_name + "/comm");
                std::string name;
                std::getline (comm, name);
                if (name.rfind ("marlune-", 0) == 0)
                    census.pluginThreads.push_back (name);
            }
            closedir (dir);
        }
        return census;
    }

    /** Waits (pumping messages) until the census is back at or below the baseline. */
    inline ThreadCensus censusAfterSettling (const ThreadCensus& baseline, int timeoutMs = 3000)
    {
        ThreadCensus now;
        pumpUntil ([&] { now = takeThreadCensus(); return now.total <= baseline.total && now.pluginThreads.empty(); },
                   timeoutMs);
        return now;
    }

    //==============================================================================
    // The framework's VST3 host keeps the plug-in's own state (the component
    // state) base64-encoded in an XML wrapper, and the bundle's wrapper appends
    // its private data (bypass) after the plug-in's bytes.

    /** A host state that carries the given plug-in state as its component state. */
    inline juce::MemoryBlock hostStateCarrying (const juce::MemoryBlock& pluginState)
    {
        juce::XmlElement xml ("VST3PluginState");
        xml.createNewChildElement ("IComponent")->addTextElement (pluginState.toBase64Encoding());
        juce::MemoryBlock out;
        juce::AudioProcessor::copyXmlToBinary (xml, out);
        return out;
    }

    /** The plug-in's own bytes inside a host state; empty when absent. */
    inline juce::MemoryBlock pluginStateInside (const juce::MemoryBlock& hostState)
    {
        auto xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());
        if (xml == nullptr)
            return {};
        auto* component = xml->getChildByName ("IComponent");
        if (component == nullptr)
            return {};

        juce::MemoryBlock bytes;
        if (! bytes.fromBase64Encoding (component->getAllSubText()))
            return {};

        // [plug-in bytes][int64 0][private data][int64 private size]["JUCEPrivateData"]
        static constexpr char magic[] = "JUCEPrivateData";
        const size_t magicSize = sizeof (magic) - 1;
        const auto size = bytes.getSize();
        if (size < magicSize + 2 * sizeof (juce::int64)
            || std::memcmp (static_cast<const char*> (bytes.getData()) + size - magicSize, magic, magicSize) != 0)
            return bytes;

        juce::int64 privateSize = 0;
        std::memcpy (&privateSize, static_cast<const char*> (bytes.getData()) + size - magicSize - sizeof (juce::int64),
                     sizeof (privateSize));
        const auto suffix = (juce::int64) (magicSize + 2 * sizeof (juce::int64)) + privateSize;
        if (privateSize < 0 || suffix > (juce::int64) size)
            return {};
        return juce::MemoryBlock (bytes.getData(), (size_t) ((juce::int64) size - suffix));
    }

    //==============================================================================
    /** A hosted editor on the desktop, as a host shows it; closed before the instance goes. */
    class ShownEditor
    {
    public:
        explicit ShownEditor (juce::AudioProcessor& processor)
            : editor (processor.createEditorIfNeeded())
        {
            if (editor == nullptr)
                return;
            editor->setTopLeftPosition (40, 40);
            editor->addToDesktop (0);
            editor->setVisible (true);
        }

        // Deleted while still on the desktop: the hosted window unhooks the
        // plug-in's embedded window first, which needs its own window alive.
        ~ShownEditor() { editor.reset(); }

        juce::AudioProcessorEditor* get() const noexcept { return editor.get(); }

    private:
        std::unique_ptr<juce::AudioProcessorEditor> editor;
    };
}

#define MARLUNE_NEEDS_DISPLAY()                                                      \
    if (! marlune::validation::hasDisplay())                                         \
        GTEST_SKIP() << "needs a display: run under xvfb-run"

// The state saved with the host project: the service address, the 23 settings
// and the account tokens, as one value tree in the framework's binary stream.

#include "InstrumentProcessor.h"
#include "SavedStateFormat.h"

namespace
{
    const juce::Identifier stateType ("MarluneInstrument");

    using Processor = MarluneInstrumentProcessor;

    /** One saved setting: its key and the member it travels from and to. */
    struct SettingEntry
    {
        const char* key;
        std::atomic<float> Processor::* number = nullptr;
        std::atomic<bool> Processor::* toggle = nullptr;
    };

    /** The settings in the order they are written (after "backendUrl"). */
    const SettingEntry settingsInOrder[] = {
        { "attack",             &Processor::attack },
        { "decay",              &Processor::decay },
        { "sustain",            &Processor::sustain },
        { "release",            &Processor::release },
        { "loudnessGainDb",     &Processor::loudnessGainDb },
        { "velocityCurve",      &Processor::velocityCurve },
        { "normalizeLoudness",  nullptr, &Processor::normalizeLoudness },
        { "timbreDynamics",     &Processor::timbreDynamics },
        { "noiseDb",            &Processor::noiseDb },
        { "loudnessFloor",      &Processor::loudnessFloor },
        { "gateDb",             &Processor::gateDb },
        { "playRegions",        nullptr, &Processor::playRegions },
        { "bendRange",          &Processor::bendRange },
        { "muted",              nullptr, &Processor::muted },
        { "decayCurve",         &Processor::decayCurve },
        { "monitorRelease",     &Processor::monitorRelease },
        { "use48kModel",        nullptr, &Processor::use48kModel },
        { "vibratoSpeedHz",     &Processor::vibratoSpeedHz },
        { "vibratoAmount",      &Processor::vibratoAmount },
        { "vibratoMaxSemis",    &Processor::vibratoMaxSemis },
        { "reverbTailMs",       &Processor::reverbTailMs },
        { "chunkAtSilence",     nullptr, &Processor::chunkAtSilence },
        { "streamWhileRecording", nullptr, &Processor::streamWhileRecording },
    };
}

void MarluneInstrumentProcessor::getStateInformation (juce::MemoryBlock& destData)
{
    juce::ValueTree tree (stateType);

    tree.setProperty ("backendUrl", getBackendUrl(), nullptr);

    for (const auto& s : settingsInOrder)
    {
        if (s.number != nullptr)
            tree.setProperty (s.key, (double) (this->*s.number).load(), nullptr);
        else
            tree.setProperty (s.key, (this->*s.toggle).load(), nullptr);
    }

    {
        const juce::ScopedLock al (accountLock);
        tree.setProperty ("accessToken", accessToken, nullptr);
        tree.setProperty ("refreshToken", refreshToken, nullptr);
    }

    destData.reset();
    juce::MemoryOutputStream out (destData, false);
    tree.writeToStream (out);
}

void MarluneInstrumentProcessor::setStateInformation (const void* data, int sizeInBytes)
{
    if (data == nullptr || sizeInBytes <= 0)
        return;

    if (! marlune::state::isWellFormedTree (data, (size_t) sizeInBytes))
        return;

    const auto tree = juce::ValueTree::readFromData (data, (size_t) sizeInBytes);
    if (! tree.isValid())
        return;

    setBackendUrl (tree.getProperty ("backendUrl", getBackendUrl()).toString().trim());

    for (const auto& s : settingsInOrder)
    {
        if (! tree.hasProperty (s.key))
            continue;

        const auto& value = tree.getProperty (s.key);
        if (s.number != nullptr)
            (this->*s.number).store ((float) (double) value);
        else
            (this->*s.toggle).store ((bool) value);
    }

    {
        const juce::ScopedLock al (accountLock);
        accessToken = tree.getProperty ("accessToken", juce::String()).toString();
        refreshToken = tree.getProperty ("refreshToken", juce::String()).toString();
    }

    if (isSignedIn())
        refreshLibrary();
}

//==============================================================================
namespace marlune::state
{
namespace
{
    /** Walks the framework's binary tree layout with every count checked
        against the bytes that remain. */
    class TreeScanner
    {
    public:
        TreeScanner (const juce::uint8* d, size_t n) : data (d), size (n) {}

        bool tree (int depth)
        {
            if (depth > maxDepth || ! nonEmptyString())
                return false;

            int numProps = 0;
            if (! compressedInt (numProps) || numProps < 0 || (size_t) numProps > remaining())
                return false;

            for (int i = 0; i < numProps; ++i)
                if (! nonEmptyString() || ! value (depth))
                    return false;

            int numChildren = 0;
            if (! compressedInt (numChildren) || numChildren < 0 || (size_t) numChildren > remaining())
                return false;

            for (int i = 0; i < numChildren; ++i)
                if (! tree (depth + 1))
                    return false;

            return true;
        }

    private:
        static constexpr int maxDepth = 32;
        static constexpr juce::uint8 intMarker = 1, trueMarker = 2, falseMarker = 3, doubleMarker = 4,
                                     int64Marker = 6, arrayMarker = 7;

        size_t remaining() const noexcept { return size - pos; }

        bool nonEmptyString()
        {
            const auto start = pos;
            while (pos < size && data[pos] != 0)
                ++pos;
            if (pos >= size)
                return false; // unterminated
            ++pos;
            return pos - start > 1;
        }

        bool compressedInt (int& result)
        {
            if (pos >= size)
                return false;
            const auto sizeByte = data[pos++];
            const int numBytes = sizeByte & 0x7f;
            if (numBytes > 4 || (size_t) numBytes > remaining())
                return false;
            juce::uint32 v = 0;
            for (int i = 0; i < numBytes; ++i)
                v |= (juce::uint32) data[pos++] << (8 * i);
            if (v > (juce::uint32) std::numeric_limits<int>::max())
                return false;
            result = (sizeByte & 0x80) ? -(int) v : (int) v;
            return true;
        }

        bool value (int depth)
        {
            int numBytes = 0;
            if (! compressedInt (numBytes) || numBytes < 0 || (size_t) numBytes > remaining())
                return false;
            if (numBytes == 0)
                return true;

            const auto end = pos + (size_t) numBytes;
            const auto marker = data[pos++];

            // The reader takes fixed-size values by their type, not by the
            // stored length, so the two must agree or it would lose its place.
            switch (marker)
            {
                case intMarker:              if (numBytes != 5) return false; break;
                case int64Marker:
                case doubleMarker:           if (numBytes != 9) return false; break;
                case trueMarker:
                case falseMarker:            if (numBytes != 1) return false; break;
                case arrayMarker:
                {
                    if (depth > maxDepth)
                        return false;
                    int count = 0;
                    if (! compressedInt (count) || count < 0 || (size_t) count > end - pos)
                        return false;
                    for (int i = 0; i < count; ++i)
                        if (pos >= end || ! value (depth + 1) || pos > end)
                            return false;
                    return pos == end;
                }
                default: break; // strings, blobs and unknown types are read or skipped by length
            }

            pos = end;
            return true;
        }

        const juce::uint8* data;
        size_t size;
        size_t pos = 0;
    };
}

bool isWellFormedTree (const void* data, size_t numBytes)
{
    if (data == nullptr || numBytes == 0)
        return false;
    TreeScanner scanner (static_cast<const juce::uint8*> (data), numBytes);
    return scanner.tree (0);
}
}

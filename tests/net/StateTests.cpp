// The state saved with the host project: its layout, the tolerant reader, the
// library fetch after a restore, and bytes that must change nothing.

#include "AccountTestSupport.h"
#include "SavedStateFormat.h"

using namespace marlune::test;

namespace
{
    using Processor = MarluneInstrumentProcessor;

    /** Saved keys after "backendUrl", with the member each one travels from. */
    struct Setting
    {
        const char* key;
        std::atomic<float> Processor::* number;
        std::atomic<bool> Processor::* toggle;
    };

    const Setting settings[] = {
        { "attack", &Processor::attack, nullptr },
        { "decay", &Processor::decay, nullptr },
        { "sustain", &Processor::sustain, nullptr },
        { "release", &Processor::release, nullptr },
        { "loudnessGainDb", &Processor::loudnessGainDb, nullptr },
        { "velocityCurve", &Processor::velocityCurve, nullptr },
        { "normalizeLoudness", nullptr, &Processor::normalizeLoudness },
        { "timbreDynamics", &Processor::timbreDynamics, nullptr },
        { "noiseDb", &Processor::noiseDb, nullptr },
        { "loudnessFloor", &Processor::loudnessFloor, nullptr },
        { "gateDb", &Processor::gateDb, nullptr },
        { "playRegions", nullptr, &Processor::playRegions },
        { "bendRange", &Processor::bendRange, nullptr },
        { "muted", nullptr, &Processor::muted },
        { "decayCurve", &Processor::decayCurve, nullptr },
        { "monitorRelease", &Processor::monitorRelease, nullptr },
        { "use48kModel", nullptr, &Processor::use48kModel },
        { "vibratoSpeedHz", &Processor::vibratoSpeedHz, nullptr },
        { "vibratoAmount", &Processor::vibratoAmount, nullptr },
        { "vibratoMaxSemis", &Processor::vibratoMaxSemis, nullptr },
        { "reverbTailMs", &Processor::reverbTailMs, nullptr },
        { "chunkAtSilence", nullptr, &Processor::chunkAtSilence },
        { "streamWhileRecording", nullptr, &Processor::streamWhileRecording },
    };

    juce::var valueOf (const Processor& p, const Setting& s)
    {
        if (s.number != nullptr)
            return (double) (p.*s.number).load();
        return (p.*s.toggle).load();
    }

    /** Moves every setting away from its default, each to a value of its own. */
    void changeEverySetting (Processor& p, float offset)
    {
        int i = 0;
        for (const auto& s : settings)
        {
            ++i;
            if (s.number != nullptr)
                (p.*s.number).store ((p.*s.number).load() + offset + 0.013f * (float) i);
            else
                (p.*s.toggle).store (! (p.*s.toggle).load());
        }
    }

    void setTokens (Processor& p, const juce::String& access, const juce::String& refresh)
    {
        const juce::ScopedLock al (p.accountLock);
        p.accessToken = access;
        p.refreshToken = refresh;
    }

    juce::MemoryBlock saved (Processor& p)
    {
        juce::MemoryBlock block;
        p.getStateInformation (block);
        return block;
    }

    juce::ValueTree savedTree (Processor& p)
    {
        const auto block = saved (p);
        return juce::ValueTree::readFromData (block.getData(), block.getSize());
    }

    juce::MemoryBlock bytesOf (const juce::ValueTree& tree)
    {
        juce::MemoryBlock block;
        juce::MemoryOutputStream out (block, false);
        tree.writeToStream (out);
        out.flush();
        return block;
    }

    void restore (Processor& p, const juce::MemoryBlock& block)
    {
        p.setStateInformation (block.getData(), (int) block.getSize());
    }

    void restore (Processor& p, const juce::ValueTree& tree) { restore (p, bytesOf (tree)); }

    class StateRoundTrip : public ServiceTest {};
}

//==============================================================================
TEST_F (StateRoundTrip, WritesTheDocumentedPropertiesInOrderWithTheirTypes)
{
    processor->setBackendUrl ("http://127.0.0.1:9/base/");
    setTokens (*processor, "access-1", "refresh-1");

    const auto tree = savedTree (*processor);
    ASSERT_TRUE (tree.isValid());
    EXPECT_EQ (tree.getType().toString(), "MarluneInstrument");
    EXPECT_EQ (tree.getNumChildren(), 0);

    juce::StringArray expected { "backendUrl" };
    for (const auto& s : settings)
        expected.add (s.key);
    expected.add ("accessToken");
    expected.add ("refreshToken");

    ASSERT_EQ (tree.getNumProperties(), 26);
    for (int i = 0; i < tree.getNumProperties(); ++i)
        EXPECT_EQ (tree.getPropertyName (i).toString(), expected[i]) << "property " << i + 1;

    EXPECT_TRUE (tree["backendUrl"].isString());
    EXPECT_EQ (tree["backendUrl"].toString(), "http://127.0.0.1:9/base/");
    EXPECT_TRUE (tree["accessToken"].isString());
    EXPECT_EQ (tree["accessToken"].toString(), "access-1");
    EXPECT_EQ (tree["refreshToken"].toString(), "refresh-1");

    for (const auto& s : settings)
    {
        const auto& v = tree[s.key];
        if (s.number != nullptr)
        {
            EXPECT_TRUE (v.isDouble()) << s.key;
            // Widened from the float, so 0.007 is the double nearest the float 0.007.
            EXPECT_EQ ((double) v, (double) (processor.get()->*s.number).load()) << s.key;
        }
        else
        {
            EXPECT_TRUE (v.isBool()) << s.key;
            EXPECT_EQ ((bool) v, (processor.get()->*s.toggle).load()) << s.key;
        }
    }
    EXPECT_EQ ((double) tree["attack"], (double) 0.007f);

    // Earlier content of the block is discarded.
    juce::MemoryBlock block (100000, true);
    processor->getStateInformation (block);
    EXPECT_EQ (block, bytesOf (tree));
}

TEST_F (StateRoundTrip, DefaultsComeBackIntoAChangedProcessor)
{
    const auto pair = service.issueTokens();
    setTokens (*processor, toJuce (pair.accessToken), toJuce (pair.refreshToken));
    const auto original = saved (*processor);

    MarluneInstrumentProcessor other;
    changeEverySetting (other, 1.5f);
    other.setBackendUrl ("http://elsewhere.invalid");
    setTokens (other, "x", "y");

    restore (other, original);

    for (const auto& s : settings)
        EXPECT_EQ (valueOf (other, s), valueOf (*processor, s)) << s.key;
    EXPECT_EQ (other.getBackendUrl(), toJuce (service.baseUrl()));
    EXPECT_EQ (other.isSignedIn(), true);
    EXPECT_EQ (saved (other), original); // byte for byte
    ASSERT_TRUE (tasksFinish (other));
}

TEST_F (StateRoundTrip, ChangedSettingsSurviveExactly)
{
    changeEverySetting (*processor, -0.37f);
    processor->use48kModel = false;
    processor->vibratoAmount = 0.75f;
    processor->bendRange = 12.0f;
    const auto state = saved (*processor);

    MarluneInstrumentProcessor other;
    restore (other, state);

    for (const auto& s : settings)
        EXPECT_EQ (valueOf (other, s), valueOf (*processor, s)) << s.key;
    EXPECT_FALSE (other.use48kModel.load());
    EXPECT_EQ (saved (other), state);
}

TEST_F (StateRoundTrip, NothingButSettingsAddressAndTokensIsSaved)
{
    signInDirectly();
    {
        const juce::ScopedLock ll (processor->libraryLock);
        processor->selectedPmi = "felt-piano";
        processor->library = { { "felt-piano", "Felt Piano", "" } };
    }
    {
        const juce::ScopedLock al (processor->accountLock);
        processor->accountEmail = "someone@example.com";
    }
    processor->setStatus ("a status line");

    const auto tree = savedTree (*processor);
    EXPECT_EQ (tree.getNumProperties(), 26);
    for (int i = 0; i < tree.getNumProperties(); ++i)
    {
        const auto text = tree.getProperty (tree.getPropertyName (i)).toString();
        EXPECT_FALSE (text.contains ("felt-piano") || text.contains ("someone@") || text.contains ("status line"))
            << tree.getPropertyName (i).toString();
    }
}

//==============================================================================
namespace
{
    struct ReadCase
    {
        const char* name;
        const char* treeType;
        std::vector<std::pair<const char*, juce::var>> properties;
        const char* key;            // read back through a fresh save
        juce::var expected;
    };

    void PrintTo (const ReadCase& c, std::ostream* os) { *os << c.name; }

    const ReadCase readCases[] = {
        { "BackendUrlTrimmed", "MarluneInstrument", { { "backendUrl", " \t http://127.0.0.1:9/x/ \r\n" } },
          "backendUrl", "http://127.0.0.1:9/x/" },
        { "VibratoAmount", "MarluneInstrument", { { "vibratoAmount", 0.75 } }, "vibratoAmount", (double) 0.75f },
        { "BendRangeNotClamped", "MarluneInstrument", { { "bendRange", 12.0 } }, "bendRange", 12.0 },
        { "NegativeAttackNotClamped", "MarluneInstrument", { { "attack", -3.0 } }, "attack", -3.0 },
        { "DoubleNarrowedToFloat", "MarluneInstrument", { { "decay", 0.1 } }, "decay", (double) 0.1f },
        { "Use48kModelOff", "MarluneInstrument", { { "use48kModel", false } }, "use48kModel", false },
        { "TreeOfAnotherType", "SomethingElse", { { "vibratoAmount", 0.5 } }, "vibratoAmount", 0.5 },
        { "StringForNumber", "MarluneInstrument", { { "bendRange", "12" } }, "bendRange", 12.0 },
        { "DecimalStringForNumber", "MarluneInstrument", { { "attack", "0.25" } }, "attack", 0.25 },
        { "IntegerForNumber", "MarluneInstrument", { { "reverbTailMs", 400 } }, "reverbTailMs", 400.0 },
        { "NumberOneForSwitch", "MarluneInstrument", { { "muted", 1 } }, "muted", true },
        { "NumberZeroForSwitch", "MarluneInstrument", { { "normalizeLoudness", 0 } }, "normalizeLoudness", false },
        { "StringZeroForSwitch", "MarluneInstrument", { { "chunkAtSilence", "0" } }, "chunkAtSilence", false },
        { "MissingKeepsTheCurrentValue", "MarluneInstrument", { { "decay", 1.0 } }, "attack", (double) 0.3f },
        { "MissingUrlKeepsTheCurrentOne", "MarluneInstrument", { { "decay", 1.0 } }, "backendUrl", "http://127.0.0.1:9/current" },
    };

    class StateReading : public ProcessorTest, public ::testing::WithParamInterface<ReadCase> {};
}

TEST_P (StateReading, AppliesWhatTheTreeHolds)
{
    const auto& c = GetParam();
    processor->attack = 0.3f; // not the default, so a missing key shows whether it is kept
    processor->setBackendUrl ("http://127.0.0.1:9/current");
    setTokens (*processor, "stale", "stale");

    juce::ValueTree tree { juce::Identifier (c.treeType) };
    for (const auto& [key, value] : c.properties)
        tree.setProperty (key, value, nullptr);
    restore (*processor, tree);

    const auto after = savedTree (*processor);
    const auto& actual = after[c.key];
    EXPECT_EQ (actual.toString(), c.expected.toString()) << c.key;
    EXPECT_TRUE (actual == c.expected) << c.key << " = " << actual.toString();
    EXPECT_FALSE (processor->isSignedIn()); // no tokens in the tree
}

INSTANTIATE_TEST_SUITE_P (State, StateReading, ::testing::ValuesIn (readCases),
                          [] (const auto& info) { return std::string (info.param.name); });

//==============================================================================
namespace
{
    class StateTokens : public ServiceTest {};
}

TEST_F (StateTokens, AStateWithoutTokensSignsOutAndFetchesNothing)
{
    signInDirectly();
    juce::ValueTree tree ("MarluneInstrument");
    tree.setProperty ("vibratoAmount", 0.25, nullptr);

    restore (*processor, tree);

    EXPECT_FALSE (processor->isSignedIn());
    EXPECT_TRUE (refreshToken().isEmpty());
    EXPECT_EQ (processor->tasks.numRunning(), 0);
    pumpMessages (100);
    EXPECT_TRUE (service.requestLog().empty());
}

TEST_F (StateTokens, ARestoredTokenStartsTheLibraryFetchAtTheRestoredAddress)
{
    const auto pair = service.issueTokens();
    processor->setBackendUrl (closedLoopbackBase()); // replaced by the state

    juce::ValueTree tree ("MarluneInstrument");
    tree.setProperty ("backendUrl", "  " + toJuce (service.baseUrl()) + "  ", nullptr);
    tree.setProperty ("accessToken", toJuce (pair.accessToken), nullptr);
    tree.setProperty ("refreshToken", toJuce (pair.refreshToken), nullptr);
    restore (*processor, tree);

    EXPECT_EQ (accessToken().toStdString(), pair.accessToken);
    EXPECT_EQ (refreshToken().toStdString(), pair.refreshToken);
    ASSERT_TRUE (eventually ([this] { return processor->getLibrary().size() == 3; }));
    ASSERT_TRUE (tasksFinish (*processor));

    const auto pmis = service.requestsTo ("/v1/pmis");
    ASSERT_EQ (pmis.size(), 1u);
    EXPECT_EQ (pmis[0].header ("Authorization"), "Bearer " + pair.accessToken);
    EXPECT_EQ (processor->getAccountEmail(), "listener@marlune.local");
}

//==============================================================================
namespace
{
    /** A processor far from its defaults, signed in, at an address where nothing
        listens, so that any change shows in its saved bytes. */
    class StateHostileBytes : public ProcessorTest
    {
    protected:
        void SetUp() override
        {
            changeEverySetting (*processor, 2.25f);
            processor->setBackendUrl (closedLoopbackBase());
            setTokens (*processor, "held-access", "held-refresh");
            baseline = saved (*processor);
        }

        /** The bytes are refused and the processor keeps every value. */
        void expectRefused (const void* data, size_t size, const std::string& what)
        {
            EXPECT_FALSE (marlune::state::isWellFormedTree (data, size)) << what;
            processor->setStateInformation (data, (int) size);
            EXPECT_EQ (saved (*processor), baseline) << what;
        }

        void expectRefused (const juce::MemoryBlock& block, const std::string& what)
        {
            expectRefused (block.getData(), block.getSize(), what);
        }

        juce::MemoryBlock baseline;
    };

    /** Hand-written bytes in the framework's tree layout. */
    struct Bytes
    {
        Bytes& text (const char* s)        { out.write (s, strlen (s) + 1); return *this; }
        Bytes& unterminated (const char* s) { out.write (s, strlen (s)); return *this; }
        Bytes& count (int n)               { out.writeCompressedInt (n); return *this; }
        Bytes& byte (int b)                { out.writeByte ((char) b); return *this; }
        Bytes& raw (const void* d, size_t n) { out.write (d, n); return *this; }
        juce::MemoryBlock block()          { out.flush(); return out.getMemoryBlock(); }
        juce::MemoryOutputStream out;
    };

    constexpr int huge = std::numeric_limits<int>::max();
    constexpr int intMarker = 1, trueMarker = 2, stringMarker = 5, arrayMarker = 7, binaryMarker = 8;
}

TEST_F (StateHostileBytes, EmptyDataChangesNothing)
{
    processor->setStateInformation (nullptr, 0);
    processor->setStateInformation (baseline.getData(), 0);
    processor->setStateInformation (baseline.getData(), -1);
    EXPECT_EQ (saved (*processor), baseline);
    EXPECT_FALSE (marlune::state::isWellFormedTree (nullptr, 10));
}

TEST_F (StateHostileBytes, EveryTruncationChangesNothing)
{
    ASSERT_TRUE (marlune::state::isWellFormedTree (baseline.getData(), baseline.getSize()));
    for (size_t n = 1; n < baseline.getSize(); ++n)
        expectRefused (baseline.getData(), n, "first " + std::to_string (n) + " bytes");
}

TEST_F (StateHostileBytes, RandomBytesNeverCrashAndAreAppliedOnlyWhenReadable)
{
    // Signed out, so that re-applying the baseline after an accepted blob sends
    // nothing; and no task may start at all, since a changed byte can turn the
    // saved address into any host name.
    processor->tasks.requestStopAll();
    setTokens (*processor, {}, {});
    baseline = saved (*processor);

    juce::Random random (20240611);
    const auto header = Bytes().text ("MarluneInstrument").block();

    for (int i = 0; i < 3000; ++i)
    {
        juce::MemoryBlock blob;
        if (i % 3 == 0)
            blob = header; // get past the type name, into the counts
        const auto length = (size_t) random.nextInt ({ 1, 400 });
        for (size_t j = 0; j < length; ++j)
        {
            const auto b = (juce::uint8) random.nextInt (256);
            blob.append (&b, 1);
        }

        if (i % 3 == 2)
        {
            // A saved state with a few bytes changed.
            blob = baseline;
            for (int flips = random.nextInt ({ 1, 4 }); --flips >= 0;)
                static_cast<juce::uint8*> (blob.getData())[random.nextInt ((int) blob.getSize())] = (juce::uint8) random.nextInt (256);
        }

        if (! marlune::state::isWellFormedTree (blob.getData(), blob.getSize()))
        {
            expectRefused (blob, "blob " + std::to_string (i));
            continue;
        }

        // Accepted bytes must be ones the framework's reader really takes.
        EXPECT_TRUE (juce::ValueTree::readFromData (blob.getData(), blob.getSize()).isValid()) << "blob " << i;
        processor->setStateInformation (blob.getData(), (int) blob.getSize());
        restore (*processor, baseline);
        ASSERT_EQ (saved (*processor), baseline);
    }
}

TEST_F (StateHostileBytes, HostileCountsAndNestingAreRefused)
{
    struct Hostile { const char* name; juce::MemoryBlock bytes; };

    Bytes deep;
    for (int i = 0; i < 100000; ++i)
        deep.text ("T").count (0).count (1);
    deep.text ("T").count (0).count (0);

    // Arrays inside arrays, each length exact, far deeper than any real state.
    juce::MemoryBlock nested = Bytes().count (1).byte (trueMarker).block();
    for (int level = 0; level < 2000; ++level)
    {
        Bytes b;
        b.count ((int) nested.getSize() + 3).byte (arrayMarker).count (1).raw (nested.getData(), nested.getSize());
        nested = b.block();
    }
    const auto deepArray = Bytes().text ("MarluneInstrument").count (1).text ("attack")
                                  .raw (nested.getData(), nested.getSize()).count (0).block();

    const Hostile hostile[] = {
        { "HugePropertyCount",  Bytes().text ("MarluneInstrument").count (huge).block() },
        { "NegativePropertyCount", Bytes().text ("MarluneInstrument").count (-5).count (0).block() },
        { "HugeChildCount",     Bytes().text ("MarluneInstrument").count (0).count (huge).block() },
        { "NegativeChildCount", Bytes().text ("MarluneInstrument").count (0).count (-1).block() },
        { "DeepNesting",        deep.block() },
        { "HugeArray",          Bytes().text ("MarluneInstrument").count (1).text ("attack")
                                       .count (6).byte (arrayMarker).count (huge).byte (0).byte (0).byte (0).byte (0)
                                       .count (0).block() },
        { "DeepArrays",         deepArray },
        { "HugeBlob",           Bytes().text ("MarluneInstrument").count (1).text ("attack")
                                       .count (huge).byte (binaryMarker).raw ("abcd", 4).count (0).block() },
        { "HugeString",         Bytes().text ("MarluneInstrument").count (1).text ("backendUrl")
                                       .count (huge).byte (stringMarker).text ("http://x").count (0).block() },
        { "IntWithShortLength", Bytes().text ("MarluneInstrument").count (1).text ("attack")
                                       .count (2).byte (intMarker).byte (1).count (0).block() },
        { "FiveByteCount",      Bytes().text ("MarluneInstrument").byte (5).raw ("\x01\x00\x00\x00\x00", 5).count (0).block() },
        { "UnterminatedType",   Bytes().unterminated ("MarluneInstrument").block() },
        { "EmptyType",          Bytes().text ("").count (0).count (0).block() },
        { "EmptyPropertyName",  Bytes().text ("MarluneInstrument").count (1).text ("").count (1).byte (2).count (0).block() },
        { "MissingChildCount",  Bytes().text ("MarluneInstrument").count (0).block() },
    };

    for (const auto& h : hostile)
        expectRefused (h.bytes, h.name);
}

TEST_F (StateHostileBytes, AReadableTreeWithChildrenIsStillApplied)
{
    juce::ValueTree tree ("MarluneInstrument");
    tree.setProperty ("vibratoAmount", 0.5, nullptr);
    juce::ValueTree child ("Child");
    child.appendChild (juce::ValueTree ("Grandchild"), nullptr);
    tree.appendChild (child, nullptr);
    const auto bytes = bytesOf (tree);

    EXPECT_TRUE (marlune::state::isWellFormedTree (bytes.getData(), bytes.getSize()));
    restore (*processor, bytes);
    EXPECT_EQ (processor->vibratoAmount.load(), 0.5f);
    EXPECT_FALSE (processor->isSignedIn());
}

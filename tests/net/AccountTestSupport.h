#pragma once

// Helpers shared by the account, library, saved-state and curve tests.

#include "NetFixture.h"

#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

namespace marlune::test
{
    inline juce::var parseJson (const std::string& text)
    {
        juce::var result;
        if (juce::JSON::parse (toJuce (text), result).failed())
            return {};
        return result;
    }

    inline juce::StringArray memberNames (const juce::var& object)
    {
        juce::StringArray names;
        if (auto* o = object.getDynamicObject())
            for (const auto& p : o->getProperties())
                names.add (p.name.toString());
        return names;
    }

    inline std::vector<std::string> pathsOf (const std::vector<service::LoggedRequest>& log)
    {
        std::vector<std::string> paths;
        for (const auto& r : log)
            paths.push_back (r.path);
        return paths;
    }

    /** Threads of this process whose name starts with the prefix. juce::Thread
        names its native threads, so this sees the sign-in and library tasks
        even after their owner has gone. */
    inline int liveThreadsNamed (const std::string& prefix)
    {
        int n = 0;
        if (DIR* dir = opendir ("/proc/self/task"))
        {
            while (dirent* entry = readdir (dir))
            {
                if (entry->d_name[0] == '.')
                    continue;
                std::ifstream comm (std::string ("/proc/self/task/") + entry->d_name + "/comm");
                std::string name;
                std::getline (comm, name);
                if (name.rfind (prefix, 0) == 0)
                    ++n;
            }
            closedir (dir);
        }
        return n;
    }

    inline int liveAccountTaskThreads()
    {
        return liveThreadsNamed ("marlune-sign") + liveThreadsNamed ("marlune-librar");
    }

    /** The sign-in and library tasks of the processor have all finished. */
    inline bool tasksFinish (MarluneInstrumentProcessor& p, int timeoutMs = 10000)
    {
        return eventually ([&p] { return p.tasks.numRunning() == 0; }, timeoutMs);
    }

    inline juce::String closedLoopbackBase()
    {
        return "http://127.0.0.1:" + juce::String (closedLoopbackPort());
    }

    inline service::RenderService::Options autoApproving()
    {
        service::RenderService::Options o;
        o.autoApprove = true;
        return o;
    }

    inline service::RenderService::Options withInstruments (std::vector<service::Instrument> list)
    {
        service::RenderService::Options o;
        o.instruments = std::move (list);
        return o;
    }

    /** A JSON string literal of the text, quotes included. */
    inline std::string jsonString (const juce::String& text)
    {
        return juce::JSON::toString (juce::var (text)).toStdString();
    }
}

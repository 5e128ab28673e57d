#include "NetFixture.h"

namespace marlune::test
{
    int closedLoopbackPort()
    {
        juce::StreamingSocket socket;
        socket.createListener (0, "127.0.0.1");
        const int port = socket.getBoundPort();
        socket.close();
        return port;
    }
}

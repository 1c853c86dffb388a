#pragma once

class koSessionRelay;
class koSessionServer;

// What the project's own programs and tests reach of a koSessionServer beyond
// a host's interface: the relay it owns, for settings that name internal
// types (the state directory) and for test hooks. Not installed.
class koSessionServerAccess
{
public:
    static koSessionRelay& relayOf(koSessionServer& server);
};

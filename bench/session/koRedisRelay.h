#pragma once

#include <cstddef>

// What a user might pick instead of a session server for fan-out: Redis
// pub/sub on loopback, 100-byte messages to N subscribers, with a publisher
// that keeps `window` PUBLISH commands in flight so that it never waits on a
// round trip. Starts its own redis-server on a free loopback port with a
// temporary folder and stops it afterwards. Speaks the Redis protocol (RESP)
// directly: two fixed command forms and two fixed reply forms. With `tls`,
// every connection is TLS 1.3 with AES-256-GCM, as the session's links are.
class koRedisRelay
{
public:
    // True when a redis-server program is on the PATH.
    static bool available();
    // Messages delivered per second, all subscribers together, over `seconds`.
    // Throws std::runtime_error when the server cannot be started (a build
    // without TLS refuses the TLS options) or a connection fails during the run.
    static double run(int receivers, double seconds, std::size_t window, bool tls);
};

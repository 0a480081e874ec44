// A platform edge that records each call instead of touching the network or
// the desktop, for tests of the order in which the exchange makes them.
#pragma once

#include <string>
#include <vector>

struct FakePlatform {
    bool resolves = true;
    bool connects = true;
    long receive_result = 0;  // what net_receive returns; positive: bytes of `reply`
    std::string reply;

    std::vector<std::string> calls;  // one entry per call, e.g. "pause 100"
    std::string sent;                // the bytes of every send
};

// The one instance the platform functions use; reset before each test.
FakePlatform& fake_platform();

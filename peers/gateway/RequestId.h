// The ids the gateway gives requests in "message": 64 random bits from the kernel's CSPRNG and a
// counter, as text ("<16 hex digits>-<counter in hex>"). The counter keeps them unique; the random
// part keeps a peer from naming a request it was not given.
#pragma once

#include <string>

class RequestId {
public:
    // Safe from any thread.
    static std::string Next();
};

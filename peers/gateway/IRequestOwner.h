// Whoever waits for the answer to a request (an HTTP connection). Complete may be called from
// any thread; the owner moves the work onto its own thread.
#pragma once

#include <memory>
#include <string>

class PendingRequest;

class IRequestOwner {
public:
    virtual ~IRequestOwner() = default;
    virtual void Complete(std::shared_ptr<PendingRequest> request, unsigned status, std::string body) = 0;
};

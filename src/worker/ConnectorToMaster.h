// The worker's end of the master-worker channel: connects, shakes hands, and executes the
// master's module commands, one after the other, on the thread that runs its read loop.
#pragma once

#include <cstdint>
#include <string>

#include "base/IIOHandler.h"
#include "model/ModulePojo.h"
#include "net/UDSClient.h"

class ConnectorToMaster : public IIOHandler {
public:
    ConnectorToMaster();
    ~ConnectorToMaster() override = default;
    ConnectorToMaster(const ConnectorToMaster&) = delete;
    ConnectorToMaster& operator=(const ConnectorToMaster&) = delete;

    // Connects to the master's channel and sends "shakehand"; 0, or the failing step's result.
    int32_t InitAndShakeHand();

    // The read loop: hands each batch of complete command lines to DoAsyncRead until the loop is
    // stopped. Runs on a thread of its own.
    int32_t Run();
    // Ends the read loop from any thread.
    void StopReadLoop();

    // Parses the lines and executes each command in order; the parser's result when the message
    // does not parse (then nothing is executed), else 0.
    int DoAsyncRead(int fd, const std::string& data) override;
    // Sends msg to the master; target is not used, a worker has one peer.
    int DoSyncWrite(const std::string& target, const std::string& msg) override;

    int32_t ExecCmd(const std::string& cmd, const ModulePojo& modulePojo);

private:
    // Tells the master how loading the module went: "loadedModule" on success, else
    // "unloadModule" (the module is not served).
    void ReportLoad(const ModulePojo& module, int32_t rc);

    UDSClient client;
};

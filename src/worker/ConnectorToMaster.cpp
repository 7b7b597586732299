#include "worker/ConnectorToMaster.h"

#include <vector>

#include "base/Log.h"
#include "proto/GatewayPath.h"
#include "proto/PipeCmdPojo.h"
#include "worker/IModuleMgt.h"
#include "worker/ModuleMgtFactory.h"
#include "worker/ReqReceiverMgt.h"

namespace {

// "modifyModule": the module's registered request receiver, if any, drops and re-opens its
// gateway connection.
void ReconnectReceiverOf(const ModuleKey& key) {
    ReqReceiverMgt::getInstance().ReconnectRequestReceiver(key);
}

}  // namespace

ConnectorToMaster::ConnectorToMaster() : client(this) {}

int32_t ConnectorToMaster::InitAndShakeHand() {
    int rc = client.Connect(GetMasterChannelPath());
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "connect master fail.");
        return rc;
    }
    rc = client.SendTo(PipeCmdPojo::BuildProcessCmd("shakehand"));
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "shake hand to master fail.");
        return rc;
    }
    return 0;
}

int32_t ConnectorToMaster::Run() {
    return client.Run();
}

void ConnectorToMaster::StopReadLoop() {
    client.StopLoop();
}

int ConnectorToMaster::DoAsyncRead(int fd, const std::string& data) {
    (void)fd;
    std::vector<PipeCmdPojo> cmds;
    int rc = PipeCmdPojo::parse(data, cmds);
    if (rc != 0) {
        LOG_ERROR_CODE(rc, "cmd parse fail.");
        return rc;
    }
    for (const PipeCmdPojo& cmd : cmds) {
        std::string name = cmd.GetCommand();
        ModulePojo module = cmd.GetModule();
        (void)ExecCmd(name, module);
    }
    return 0;
}

int ConnectorToMaster::DoSyncWrite(const std::string& target, const std::string& msg) {
    (void)target;
    return client.SendTo(msg);
}

void ConnectorToMaster::ReportLoad(const ModulePojo& module, int32_t rc) {
    // The master retires an older version once the new one serves, and places a module that
    // failed again on a later demand: both need to know how the load went.
    const std::string text = module.GetName() + ":" + module.GetVersion();
    if (rc != 0) {
        LOG_WARN("load module fail, " + text + ", result " + std::to_string(rc) +
                 "; the master places it again on demand");
    }
    int sent =
        client.SendTo(PipeCmdPojo::BuildProcessCmd(rc == 0 ? "loadedModule" : "unloadModule", &module));
    if (sent != 0) {
        LOG_ERROR_CODE(sent, "report module load to master fail, " + text);
    }
}

int32_t ConnectorToMaster::ExecCmd(const std::string& cmd, const ModulePojo& modulePojo) {
    LOG_INFO("exec cmd:" + cmd + ", Module: " + modulePojo.GetName());
    IModuleMgt* mgt = GetModuleMgtByType(modulePojo);
    if (mgt == nullptr) {
        LOG_INFO("unknow libtype: " + modulePojo.GetType());
        if (cmd == "addModule") {
            ReportLoad(modulePojo, -1);
        }
        return -1;
    }
    if (cmd == "addModule") {
        int32_t rc = mgt->LoadModule(modulePojo);
        ReportLoad(modulePojo, rc);
        return rc;
    }
    if (cmd == "deleteModule") {
        (void)mgt->UnLoadModule(modulePojo);
        return 0;
    }
    if (cmd == "modifyModule") {
        ReconnectReceiverOf(modulePojo.Key());
        return 0;
    }
    if (cmd == "ageingModule") {
        mgt->Stop();
        return 0;
    }
    return -1;
}

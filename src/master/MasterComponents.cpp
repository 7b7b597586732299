#include "master/MasterComponents.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "base/Log.h"
#include "base/LogMgr.h"
#include "base/PropertyLoader.h"
#include "master/MasterProcessCycle.h"
#include "master/ModuleLifeChecker.h"
#include "master/ModuleMgt.h"
#include "master/ModuleNeedLoadMgt.h"
#include "master/ProcessMgt.h"
#include "net/UDSServer.h"

MasterComponents& MasterComponents::Instance() {
    static MasterComponents* instance = new MasterComponents();  // lives until exit
    return *instance;
}

void MasterComponents::Start() {
    needLoad = std::make_unique<ModuleNeedLoadMgt>();
    moduleMgt = std::make_unique<ModuleMgt>();
    processMgt = std::make_unique<ProcessMgt>();
    needLoad->SetModuleMgt(moduleMgt.get());
    moduleMgt->SetNeedLoad(needLoad.get());
    moduleMgt->SetProcessMgt(processMgt.get(), processMgt.get());
    moduleMgt->SetTimerService(&gMasterIOService);

    int ret = 0;
    try {
        ret = processMgt->Init(moduleMgt.get());
    } catch (const std::system_error& e) {
        ret = e.code().value();  // the channel thread could not start; the socket is bound
    }
    if (ret != 0) {
        LOG_ERROR_CODE(ret, "ProcessMgt init failed.");
        processMgt.reset();
        moduleMgt.reset();
        needLoad.reset();
        LogMgr::CloseLogFile();
        exit(1);
    }
    try {
        configPoller = std::thread([this] { moduleMgt->GetModuleFrmGateway(); });
        demandPoller = std::thread([this] { needLoad->GetModuleNeedLoadFrmGW(); });
        // The checker is complete before the I/O thread that runs its timer starts.
        lifeChecker =
            std::make_unique<ModuleLifeChecker>(gMasterIOService, getProperty("moduleLifeCheckDelay"));
        lifeChecker->SetModuleMgt(moduleMgt.get());
        ioThread = std::thread(RunMasterIOService);
    } catch (const std::system_error& e) {
        // Threads already started use the managers: end the process without tearing them down,
        // but leave no channel socket behind.
        LOG_ERROR_CODE(e.code().value(), std::string("master start failed, ") + e.what());
        UDSServer::RemoveOwnSocketFiles();
        LogMgr::CloseLogFile();
        _exit(1);
    }
}

void MasterComponents::OnWorkersReaped() {
    moduleMgt->ClearNonExistProcesses();
    needLoad->ClearNonExistModule();
}

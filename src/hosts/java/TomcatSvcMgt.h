// The module manager of a worker that hosts Java web modules: prepares the environment and the
// private Catalina base, runs one Tomcat inside the worker's Java VM (started through Commons
// Daemon), and gives each module a TomcatRequestReceiver in the receiver registry.
//
// Locking: `mutex` serialises module loading (environment, VM and Tomcat start) and the final
// stop, and guards `started`. It is taken before the registry's mutex and JvmMgt's locks, never
// after them.
#pragma once

#include <jni.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "model/ModulePojo.h"
#include "worker/IModuleMgt.h"

class TomcatRequestReceiver;

class TomcatSvcMgt : public IModuleMgt {
public:
    // Result codes of the load path.
    static constexpr int32_t RESULT_NO_JVM = 3;
    static constexpr int32_t RESULT_NO_ENTRY = 5;
    static constexpr int32_t RESULT_START_REFUSED = 6;
    static constexpr int32_t RESULT_PREPARE_FAIL = 11;

    // The singleton; its first creation starts the JVM thread.
    static TomcatSvcMgt* getInstance();

    int32_t Start() override;
    int32_t LoadModule(const ModulePojo& module) override;
    int32_t UnLoadModule(const ModulePojo& module) override;
    void Stop() override;
    bool Stopped() override;

    void AddModule(const ModulePojo& module);
    int32_t StartTomcat4Module(const ModulePojo& module);
    int32_t StartTomcat(const std::string& location, std::map<std::string, std::string>& args);
    static int32_t OperateTomcat(JNIEnv* env, const std::string& operation);
    int32_t StartReceiver(const ModulePojo& module);
    // 0 once the module answers its health check, 1 after 20 failed checks.
    static int32_t WaitForModuleLoad(const std::shared_ptr<TomcatRequestReceiver>& receiver);
    int32_t StopTomcatUnlock();
    bool IsStarted();

    // Environment and Catalina base of the module (see the .cpp for the rules).
    static std::map<std::string, std::string> ParseModuleArgs(const std::string& vmArgs);
    int32_t PrepareTomcatEnv(const std::string& location, const std::string& exportStr);
    static void LoadMicroSrvEnv(const std::string& location);
    static void PutMicroSrvEnv(const std::string& path);
    static std::string GetProcessName(const std::string& location);
    static int32_t PutNodeIdSlotEnv();
    static std::string GetCompleteProcessName();
    static int32_t PutProcessName();
    static int32_t PutCatalinaBase(const std::string& location);
    static int32_t CopyCatalinaBaseEnv(const std::string& location);
    static void ReplaceEnvVarByValue(std::string& text);
    static void PutVariable(const std::string& exportStr);
    static int32_t LinkWarDir(const std::string& warDir, const std::string& moduleName);
    static int32_t CleanTomcatEnv();

private:
    TomcatSvcMgt();
    ~TomcatSvcMgt() = default;  // never destroyed
    TomcatSvcMgt(const TomcatSvcMgt&) = delete;
    TomcatSvcMgt& operator=(const TomcatSvcMgt&) = delete;

    bool started = false;
    std::thread jvmThread;
    std::mutex mutex;
};

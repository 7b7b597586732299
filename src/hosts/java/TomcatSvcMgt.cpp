#include "hosts/java/TomcatSvcMgt.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <vector>

#include "base/CatalinaBaseDir.h"
#include "base/CommonUtil.h"
#include "base/HandledSignalsBlocked.h"
#include "base/Log.h"
#include "base/PropertyFileParser.h"
#include "base/PropertyLoader.h"
#include "base/TimeGuard.h"
#include "hosts/java/JniEnvGuard.h"
#include "hosts/java/JvmMgt.h"
#include "hosts/java/TomcatRequestReceiver.h"
#include "proto/GatewayPath.h"
#include "worker/ReqReceiverMgt.h"

namespace {

constexpr int32_t HEALTH_CHECK_ATTEMPTS = 20;
constexpr mode_t BASE_DIR_MODE = 0700;
const char* const CATALINA_CONF_FILES[] = {"catalina.policy", "catalina.properties", "context.xml",
                                           "server.xml", "web.xml"};

std::string GetEnvStr(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

// Sets "NAME=value" (a text without "=" removes NAME, as putenv does). setenv keeps its own
// copy: a putenv'ed copy could never be freed, and every module start would leave one behind.
bool PutEnvCopy(const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) {
        return unsetenv(text.c_str()) == 0;
    }
    return setenv(text.substr(0, eq).c_str(), text.c_str() + eq + 1, 1) == 0;
}

// Without APP_ROOT the module's location stands in for it (CatalinaBaseDir); say so.
void LogIfNoAppRoot() {
    if (!CatalinaBaseDir::HasAppRoot()) {
        LOG_INFO("get env APP_ROOT fail");
    }
}

// The instance name rule: the last member name containing "vessel", else the first name.
void PickInstanceName(std::string& current, const std::string& candidate) {
    if (candidate.find("vessel") != std::string::npos || current.empty()) {
        current = candidate;
    }
}

}  // namespace

TomcatSvcMgt::TomcatSvcMgt() = default;

TomcatSvcMgt* TomcatSvcMgt::getInstance() {
    static std::mutex createMutex;
    static std::atomic<TomcatSvcMgt*> instance{nullptr};
    TomcatSvcMgt* mgt = instance.load();
    if (mgt != nullptr) {
        return mgt;
    }
    std::lock_guard<std::mutex> lock(createMutex);
    mgt = instance.load();
    if (mgt == nullptr) {
        mgt = new TomcatSvcMgt();
        LOG_INFO("new thread for jvm");
        {
            HandledSignalsBlocked blocked;
            mgt->jvmThread = std::thread(&JvmMgt::Run, &JvmMgt::getInstance());
        }
        instance.store(mgt);
    }
    return mgt;
}

int32_t TomcatSvcMgt::Start() {
    return 0;
}

int32_t TomcatSvcMgt::LoadModule(const ModulePojo& module) {
    AddModule(module);
    int32_t r = StartTomcat4Module(module);
    if (r != 0) {
        // Another application would answer in its place (one root application per VM): no
        // receiver takes the module's requests.
        LOG_ERROR_CODE(r, "StartTomcat4Module fail," + module.GetName() + ":" + module.GetVersion());
        return r;
    }
    return StartReceiver(module);
}

void TomcatSvcMgt::AddModule(const ModulePojo& module) {
    LOG_INFO("[TomcatSvcMgt::AddModule]: begin " + module.GetName() + ":" + module.GetVersion());
}

int32_t TomcatSvcMgt::StartTomcat4Module(const ModulePojo& module) {
    LOG_INFO(module.GetName() + ":" + module.GetVersion());
    TimeGuard guard("TomcatSvcMgt::StartTomcat4Module");
    std::lock_guard<std::mutex> lock(mutex);
    std::map<std::string, std::string> args = ParseModuleArgs(module.GetVmArgs());
    int32_t r = PrepareTomcatEnv(module.GetLocation(), args["export"]);
    if (r != 0) {
        LOG_WARN("prepare tomcat env fail " + std::to_string(r));
        return r;
    }
    r = LinkWarDir(module.RepositoryPath(), module.GetName());
    if (r != 0) {
        LOG_WARN("copy context cfg fail " + std::to_string(r));
        return RESULT_PREPARE_FAIL;
    }
    r = StartTomcat(module.GetLocation(), args);
    if (r == 0) {
        return 0;
    }
    LOG_WARN("start tomcat fail," + std::to_string(r));
    return r;
}

int32_t TomcatSvcMgt::StartTomcat(const std::string& location, std::map<std::string, std::string>& args) {
    TimeGuard guard("TomcatSvcMgt::StartTomcat");
    if (started) {
        return 0;
    }
    std::string vmArgs = args["vmArgs"];
    ReplaceEnvVarByValue(vmArgs);
    JvmMgt& jvm = JvmMgt::getInstance();
    jvm.PushCommand("createJvm", vmArgs);
    int32_t r = jvm.WaitForJvmStart();
    if (r != 0) {
        LOG_INFO("CreateJvm fail," + location);
        return r;
    }
    {
        JniEnvGuard envGuard;
        r = OperateTomcat(envGuard.GetJniEnv(), "start");
    }
    if (r != 0) {
        LOG_INFO("Start Tomcat fail," + location);
        return r;
    }
    started = true;
    return 0;
}

int32_t TomcatSvcMgt::OperateTomcat(JNIEnv* env, const std::string& operation) {
    TimeGuard guard("TomcatSvcMgt::OperateTomcat");
    if (env == nullptr) {
        LOG_INFO("jvm env is NULL");
        return RESULT_NO_JVM;
    }
    jclass cls = env->FindClass("org/apache/commons/daemon/support/DaemonLoader");
    if (cls == nullptr) {
        JniEnvGuard::ClearException(env);
        LOG_INFO("Cannot find class org/apache/commons/daemon/support/DaemonLoader");
        return RESULT_PREPARE_FAIL;
    }
    if (operation == "start") {
        TimeGuard startGuard("TomcatSvcMgt::OperateTomcat start");
        jmethodID load = env->GetStaticMethodID(cls, "load", "(Ljava/lang/String;[Ljava/lang/String;)Z");
        JniEnvGuard::ClearException(env);
        jclass strCls = env->FindClass("java/lang/String");
        if (strCls == nullptr) {
            JniEnvGuard::ClearException(env);
            LOG_INFO("Cannot find class java/lang/String");
            return RESULT_PREPARE_FAIL;
        }
        jobjectArray arr = env->NewObjectArray(1, strCls, nullptr);
        if (arr == nullptr) {
            JniEnvGuard::ClearException(env);
            LOG_INFO("Cannot create arguments array");
            return RESULT_PREPARE_FAIL;
        }
        env->SetObjectArrayElement(arr, 0, env->NewStringUTF(operation.c_str()));
        if (load != nullptr) {
            jstring bootstrap = env->NewStringUTF("org.apache.catalina.startup.Bootstrap");
            env->CallStaticBooleanMethod(cls, load, bootstrap, arr);
            JniEnvGuard::ClearException(env);
        } else {
            // Without load the daemon has nothing to start; start below reports it.
            LOG_INFO("Cannot find Daemon Loader \"load\" entry point");
        }
    }
    jmethodID mid = env->GetStaticMethodID(cls, operation.c_str(), "()Z");
    if (mid == nullptr) {
        JniEnvGuard::ClearException(env);
        LOG_INFO("Cannot find Daemon Loader \"" + operation + "\" entry point");
        return RESULT_NO_ENTRY;
    }
    jboolean ok = env->CallStaticBooleanMethod(cls, mid);
    JniEnvGuard::ClearException(env);
    if (ok == JNI_FALSE) {
        LOG_INFO("Cannot start daemon");
        return RESULT_START_REFUSED;
    }
    return 0;
}

int32_t TomcatSvcMgt::StartReceiver(const ModulePojo& module) {
    std::shared_ptr<TomcatRequestReceiver> receiver =
        TomcatRequestReceiver::create(GetGatewayPath(), module.Key());
    ReqReceiverMgt::getInstance().AddRequestReceiver(module.Key(), receiver);
    if (WaitForModuleLoad(receiver) != 0) {
        LOG_INFO("module may not ready," + module.GetName() + ":" + module.GetVersion());
    }
    int32_t r = receiver->start();
    if (r != 0) {
        LOG_INFO("requestreceiver start fail," + module.GetName() + ":" + module.GetVersion());
    }
    return r;
}

int32_t TomcatSvcMgt::WaitForModuleLoad(const std::shared_ptr<TomcatRequestReceiver>& receiver) {
    int32_t interval = getProperty("moduleHealthCheckInterval");
    int32_t attempts = HEALTH_CHECK_ATTEMPTS;
    for (;;) {
        if (receiver->ModuleHealthCheck()) {
            return 0;
        }
        if (attempts % 10 == 1) {
            LOG_INFO("WaitForModuleLoad " + std::to_string(attempts));
        }
        SleepMs(interval);
        --attempts;
        if (attempts < 1) {
            return 1;
        }
    }
}

int32_t TomcatSvcMgt::UnLoadModule(const ModulePojo& module) {
    ReqReceiverMgt::getInstance().SetNotReceiveNewRequest(module.Key());
    ReqReceiverMgt::getInstance().StopRequestReceiver(module.Key());
    return 0;
}

void TomcatSvcMgt::Stop() {
    ReqReceiverMgt& receivers = ReqReceiverMgt::getInstance();
    receivers.ForEach([](IRequestReceiver& r) { r.SetNotReceive(); });
    receivers.ForEach([](IRequestReceiver& r) { r.stop(); });
    JvmMgt::getInstance().StopQueue();
}

bool TomcatSvcMgt::Stopped() {
    if (!ReqReceiverMgt::getInstance().CheckStopOver()) {
        return false;
    }
    LOG_INFO("TomcatSvcMgt CheckStopOver  success");
    std::lock_guard<std::mutex> lock(mutex);
    StopTomcatUnlock();
    return true;
}

int32_t TomcatSvcMgt::StopTomcatUnlock() {
    if (!started) {
        LOG_INFO("tomcat not started yet");
        return 0;
    }
    CleanTomcatEnv();
    started = false;
    return 0;
}

bool TomcatSvcMgt::IsStarted() {
    std::lock_guard<std::mutex> lock(mutex);
    return started;
}

// ---- Environment and Catalina base ----

std::map<std::string, std::string> TomcatSvcMgt::ParseModuleArgs(const std::string& vmArgs) {
    std::map<std::string, std::string> args;
    std::vector<std::string> items;
    Split(vmArgs, items, ';');
    for (auto item : items) {
        if (item.rfind("export", 0) == 0) {
            ReplaceAll(item, "export->", "");
            args["export"] = item;
        } else if (item.rfind("vmArgs", 0) == 0) {
            ReplaceAll(item, "vmArgs->", "");
            args["vmArgs"] = item;
        } else {
            args["vmArgs"] = item;
        }
    }
    return args;
}

int32_t TomcatSvcMgt::PrepareTomcatEnv(const std::string& location, const std::string& exportStr) {
    TimeGuard guard("TomcatSvcMgt::PrepareTomcatEnv");
    if (started) {
        return 0;
    }
    LOG_INFO("location:" + location + " exportStr:" + exportStr);
    LoadMicroSrvEnv(location);
    PutNodeIdSlotEnv();
    PutProcessName();
    // Bases of workers that ended without a graceful quit; after the environment files, which
    // may set APP_ROOT, so the root searched is the one this worker's base goes under.
    CatalinaBaseDir::RemoveEnded(location);
    PutCatalinaBase(location);
    int32_t r = CopyCatalinaBaseEnv(location);
    if (r != 0) {
        LOG_ERROR_CODE(r, "copy catalina base dir fail");
        return RESULT_PREPARE_FAIL;
    }
    std::string exports = exportStr;
    ReplaceEnvVarByValue(exports);
    PutVariable(exports);
    return 0;
}

void TomcatSvcMgt::LoadMicroSrvEnv(const std::string& location) {
    PutMicroSrvEnv(location + "/envs/env.properties");
    std::string name = GetProcessName(location);
    if (name.empty()) {
        LOG_INFO("get process name fail, " + location);
        return;
    }
    PutMicroSrvEnv(location + "/envs/" + name + ".properties");
}

void TomcatSvcMgt::PutMicroSrvEnv(const std::string& path) {
    LOG_INFO(path);
    std::map<std::string, std::string> entries;
    ReadConfig(path, entries);
    for (const auto& entry : entries) {
        PutEnvCopy(entry.first + "=" + entry.second);
    }
}

std::string TomcatSvcMgt::GetProcessName(const std::string& location) {
    std::string name;
    try {
        boost::property_tree::ptree root;
        boost::property_tree::read_json(location + "/pub/app_define.json", root);
        for (const auto& member : root.get_child("processes")) {
            PickInstanceName(name, member.first);
        }
    } catch (const std::exception& e) {
        LOG_INFO(std::string("parse file fail,") + e.what());
        return "";
    }
    return name;
}

int32_t TomcatSvcMgt::PutNodeIdSlotEnv() {
    std::string file = GetEnvStr("APP_CONF_FILE");
    if (file.empty()) {
        LOG_INFO("get APP_CONF_FILE value fail");
        return -1;
    }
    std::string instance;
    std::string nodeId;
    std::string slot;
    try {
        boost::property_tree::ptree root;
        boost::property_tree::read_json(file, root);
        for (const auto& member : root.get_child("processes")) {
            PickInstanceName(instance, member.first);
            nodeId = member.second.get<std::string>("nodeId");
            slot = member.second.get<std::string>("slot");
        }
    } catch (const std::exception& e) {
        LOG_INFO(std::string("parse file fail, ") + e.what());
        return -1;
    }
    int32_t result = 0;
    if (nodeId.empty()) {
        LOG_INFO("get nodeId fails");
        result = -1;
    } else {
        std::string text = "NODE_ID=" + nodeId;
        PutEnvCopy(text);
        LOG_INFO(text);
    }
    if (slot.empty()) {
        LOG_INFO("get slotId fails");
        result = -1;
    } else {
        std::string text = "PROCESS_SLOT=" + slot;
        PutEnvCopy(text);
        LOG_INFO(text);
    }
    if (instance.empty()) {
        LOG_INFO("get instanceStr fails");
        result = -1;
    } else {
        std::string text = "PROCESS_INSTANCE_ID=" + instance;
        PutEnvCopy(text);
        LOG_INFO(text);
    }
    return result;
}

std::string TomcatSvcMgt::GetCompleteProcessName() {
    std::string name = GetEnvStr("PROCESS_NAME");
    std::string nodeId = GetEnvStr("NODE_ID");
    std::string slot = GetEnvStr("PROCESS_SLOT");
    if (name.empty() || nodeId.empty() || slot.empty()) {
        return "";
    }
    return name + "-" + nodeId + "-" + slot;
}

int32_t TomcatSvcMgt::PutProcessName() {
    std::string name = GetCompleteProcessName();
    if (name.empty()) {
        LOG_ERROR_CODE(-1, "get ProcessName failed!");
        return -1;
    }
    if (!PutEnvCopy("COMPLETE_PROCESS_NAME=" + name)) {
        LOG_ERROR_CODE(-1, "putenv COMPLETE_PROCESS_NAME failed!");
        return -1;
    }
    if (!PutEnvCopy("WARREN_UDS=" + name + "-" + std::to_string(getpid()))) {
        LOG_ERROR_CODE(-1, "putenv WARREN_UDS failed!");
        return -1;
    }
    return 0;
}

int32_t TomcatSvcMgt::PutCatalinaBase(const std::string& location) {
    LogIfNoAppRoot();
    if (!PutEnvCopy("CATALINA_BASE=" + CatalinaBaseDir::PathFor(location, getpid()))) {
        LOG_INFO("putenv failed, strdup get null");
    }
    return 0;
}

int32_t TomcatSvcMgt::CopyCatalinaBaseEnv(const std::string& location) {
    TimeGuard guard("TomcatSvcMgt::CopyCatalinaBaseEnv");
    std::string base = GetEnvStr("CATALINA_BASE");
    if (base.empty()) {
        LOG_INFO("get CATALINA_BASE fail");
        return -1;
    }
    LogIfNoAppRoot();
    std::string appRoot = CatalinaBaseDir::AppRoot(location);

    std::string localhost = base + "/conf/Catalina/localhost";
    LOG_INFO(localhost);
    int32_t r = MakeDirs(localhost.c_str(), BASE_DIR_MODE);
    if (r != 0) {
        LOG_ERROR_CODE(r, "create catalina_base dir fail");
        return r;
    }
    std::string webapps = base + "/webapps";
    LOG_INFO(webapps);
    r = MakeDirs(webapps.c_str(), BASE_DIR_MODE);
    if (r != 0) {
        LOG_ERROR_CODE(r, "create webapps dir fail");
        return r;
    }
    for (const char* name : CATALINA_CONF_FILES) {
        CopyFile(appRoot + "/conf/" + name, base + "/conf/" + name);
    }
    if (symlink((appRoot + "/lib").c_str(), (base + "/lib").c_str()) != 0 && errno != EEXIST) {
        int err = errno;
        LOG_ERROR_CODE(err, "create lib symlink fail");
        return -1;
    }
    if (symlink((appRoot + "/etc").c_str(), (base + "/etc").c_str()) != 0 && errno != EEXIST) {
        int err = errno;
        LOG_ERROR_CODE(err, "create etc symlink fail");
        return -1;
    }
    return 0;
}

void TomcatSvcMgt::ReplaceEnvVarByValue(std::string& text) {
    static const std::regex reference("(\\$)(\\{?)[a-zA-Z-_.]{1,}(\\}?)", std::regex::ECMAScript);
    std::set<std::string> matches;
    for (std::sregex_iterator it(text.begin(), text.end(), reference), end; it != end; ++it) {
        matches.insert(it->str());
    }
    for (const auto& match : matches) {
        std::string name = match.rfind("${", 0) == 0 ? match.substr(2, match.size() - 3) : match.substr(1);
        if (name.empty()) {
            continue;
        }
        std::string value = GetEnvStr(name.c_str());
        if (value.empty()) {
            LOG_INFO("GetEnvStr fail, " + name);
            continue;
        }
        ReplaceAll(text, match, value);
    }
}

void TomcatSvcMgt::PutVariable(const std::string& exportStr) {
    if (exportStr.empty()) {
        LOG_INFO("export var null");
        return;
    }
    std::vector<std::string> pieces;
    Split(exportStr, pieces, '|');
    for (const auto& piece : pieces) {
        LOG_INFO(piece);
        if (!PutEnvCopy(piece)) {
            LOG_INFO("PutVariable failed, strdup get null for " + piece);
        }
    }
}

int32_t TomcatSvcMgt::LinkWarDir(const std::string& warDir, const std::string& moduleName) {
    std::string base = GetEnvStr("CATALINA_BASE");
    if (base.empty()) {
        LOG_INFO("get CATALINA_BASE fail");
        return -1;
    }
    std::vector<std::string> names = GetFiles(warDir, moduleName, true);
    if (names.empty()) {
        LOG_INFO("get war dir empty," + warDir);
        return -1;
    }
    return symlink((warDir + "/" + names.front()).c_str(), (base + "/webapps/ROOT").c_str());
}

int32_t TomcatSvcMgt::CleanTomcatEnv() {
    std::string base = GetEnvStr("CATALINA_BASE");
    if (base.empty()) {
        LOG_INFO("get env CATALINA_BASE fail");
        return -1;
    }
    RemoveDir(base);
    return 0;
}

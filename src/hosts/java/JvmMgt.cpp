#include "hosts/java/JvmMgt.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/BatchScheduling.h"
#include "base/CommonUtil.h"
#include "base/HandledSignalsBlocked.h"
#include "base/Log.h"
#include "base/ProcessFlags.h"
#include "base/PropertyLoader.h"
#include "base/TimeGuard.h"

namespace {

constexpr int64_t START_POLL_MS = 30;
// Pull connections per module unless modulePullConnections says otherwise, as for a C module.
constexpr int32_t DEFAULT_PULL_CONNECTIONS = 8;
const std::string CATALINA_HOME_OPTION = "-Dcatalina.home=";    // 16 characters
const std::string TOMCATUDS_HOME_OPTION = "-Dtomcatuds.home=";  // 17 characters
const std::string CLASS_PATH_OPTION = "-Djava.class.path";

// The home given by the first option containing prefix, or "".
std::string HomeFromOptions(const std::vector<std::string>& options, const std::string& prefix) {
    for (const auto& option : options) {
        if (option.find(prefix) != std::string::npos) {
            return option.size() > prefix.size() ? option.substr(prefix.size()) : std::string();
        }
    }
    return "";
}

// home/lib/*jar joined with ":", in directory order; "" for an empty home or unreadable dir.
std::string JarClassPath(const std::string& home) {
    if (home.empty()) {
        return "";
    }
    std::string dir = home + "/lib/";
    std::string cp;
    for (const auto& name : GetFiles(dir, "jar", true)) {
        if (!cp.empty()) {
            cp += ":";
        }
        cp += dir + name;
    }
    return cp;
}

void BlockHandledSignals() {
    sigset_t set;
    HandledSignalsBlocked::Fill(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

JvmMgt& JvmMgt::getInstance() {
    static JvmMgt* instance = new JvmMgt();
    return *instance;
}

std::vector<std::string> JvmMgt::BuildJvmOptions(const std::string& vmArgs) {
    std::vector<std::string> options;
    Split(vmArgs, options, ' ');
    // The VM's counters stay in its own memory instead of /tmp/hsperfdata_<user>/<pid>, which a
    // killed worker leaves behind. jcmd and jstack still attach by pid; jps and jstat no longer see
    // the VM. First, so that the module's own -XX:-PerfDisableSharedMem wins.
    options.insert(options.begin(), "-XX:+PerfDisableSharedMem");

    std::string cp1 = JarClassPath(HomeFromOptions(options, CATALINA_HOME_OPTION));
    std::string cp2 = JarClassPath(HomeFromOptions(options, TOMCATUDS_HOME_OPTION));
    if (!cp1.empty() || !cp2.empty()) {
        std::string cp = cp1 + ":" + cp2;
        bool appended = false;
        for (auto& option : options) {
            if (option.find(CLASS_PATH_OPTION) != std::string::npos) {
                option += ":" + cp;
                appended = true;
                break;
            }
        }
        if (!appended) {
            options.push_back(CLASS_PATH_OPTION + "=" + cp);
        }
    }
    // The receivers in the VM pull on this many connections per module.
    options.push_back("-Dtomcatuds.pullConnections=" +
                      std::to_string(ModulePullConnections(DEFAULT_PULL_CONNECTIONS)));
    // The worker's main thread must keep SIGQUIT, SIGTERM and SIGINT for itself.
    options.push_back("-Xrs");
    return options;
}

std::vector<std::string> JvmMgt::LibJvmCandidates() {
    std::vector<std::string> paths;
    const char* javaHome = getenv("JAVA_HOME");
    if (javaHome != nullptr && javaHome[0] != '\0') {
        paths.push_back(std::string(javaHome) + "/lib/server/libjvm.so");
    }
    paths.push_back("/usr/lib/jvm/default-java/lib/server/libjvm.so");
    paths.push_back("/usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so");
    return paths;
}

JvmMgt::CreateJavaVMFn JvmMgt::LoadCreateJavaVM() {
    if (createJavaVM != nullptr) {
        return createJavaVM;
    }
    if (libjvm == nullptr) {
        for (const auto& path : LibJvmCandidates()) {
            // Kept open for the life of the process: a VM cannot be unloaded.
            libjvm = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
            if (libjvm != nullptr) {
                LOG_INFO("load libjvm " + path);
                break;
            }
            const char* err = dlerror();
            LOG_INFO("load libjvm fail," + path + "," + (err != nullptr ? err : ""));
        }
        if (libjvm == nullptr) {
            return nullptr;
        }
    }
    createJavaVM = reinterpret_cast<CreateJavaVMFn>(dlsym(libjvm, "JNI_CreateJavaVM"));
    if (createJavaVM == nullptr) {
        const char* err = dlerror();
        LOG_INFO(std::string("find JNI_CreateJavaVM fail,") + (err != nullptr ? err : ""));
    }
    return createJavaVM;
}

void JvmMgt::Run() {
    BlockHandledSignals();
    Command cmd;
    for (;;) {
        if ((workerExiting.load() != 0 || cmdQueue.Stopped()) && cmdQueue.Size() == 0) {
            break;
        }
        if (!cmdQueue.Pop(cmd)) {
            LOG_INFO("force wake up " + std::to_string(workerExiting.load()) + "," +
                     (cmdQueue.Stopped() ? "1" : "0") + "," + std::to_string(cmdQueue.Size()));
            continue;
        }
        if (cmd.first == "createJvm") {
            CreateJvm(cmd.second);
        } else if (cmd.first == "stopJvm") {
            StopJvm();
        }
    }
    {
        // The thread that created the VM leaves it cleanly, so the VM keeps no record of a
        // thread whose stack is gone.
        std::lock_guard<std::mutex> lock(createMutex);
        if (jvmPojo.GetVm() != nullptr) {
            DetachCurrentThread(jvmPojo.GetVm());
        }
    }
    threadLeft.store(true);
    LOG_INFO("JvmMgt::Run leave");
}

void JvmMgt::CreateJvm(const std::string& vmArgs) {
    TimeGuard guard("JvmMgt::CreateJvm");
    std::lock_guard<std::mutex> lock(createMutex);
    if (jvmPojo.GetVm() != nullptr) {
        LOG_INFO("jvm exists");
        status.store(STATUS_OK);
        return;
    }
    std::vector<std::string> texts = BuildJvmOptions(vmArgs);
    std::vector<JavaVMOption> options(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        options[i].optionString = &texts[i][0];
        options[i].extraInfo = nullptr;
    }
    JavaVMInitArgs args{};
    args.version = JNI_VERSION_1_8;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    args.ignoreUnrecognized = JNI_FALSE;

    CreateJavaVMFn create = LoadCreateJavaVM();
    // The VM's threads, started from here, take the policy: several wake per request (pull
    // threads, Tomcat's), and under the normal policy they preempt the gateway's event loop.
    BatchScheduling::ApplyToProcess();
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    jint r = create != nullptr ? create(&vm, reinterpret_cast<void**>(&env), &args) : JNI_ERR;
    // The VM copies what it needs; the option texts go when this scope ends.
    args.nOptions = 0;
    args.options = nullptr;
    if (r != JNI_OK || vm == nullptr) {
        LOG_INFO("JNI_CreateJavaVM fail," + std::to_string(r));
        status.store(STATUS_CREATE_FAIL);
        return;
    }
    jvmPojo.SetVm(vm);
    jvmPojo.SetEnv(env);
    jvmPojo.SetInitArgs(args);
    jvmPojo.SetAttached(false);
    vmHandle.store(vm);
    status.store(STATUS_OK);
}

void JvmMgt::StopJvm() {
    TimeGuard guard("JvmMgt::StopJvm");
    std::lock_guard<std::mutex> lock(createMutex);
    JavaVM* vm = jvmPojo.GetVm();
    if (vm == nullptr) {
        return;
    }
    LOG_INFO("DestroyJavaVM begin");
    jint r = vm->DestroyJavaVM();
    LOG_INFO("DestroyJavaVM end," + std::to_string(r));
    jvmPojo.Reset();
    vmHandle.store(nullptr);
}

void JvmMgt::PushCommand(const std::string& command, const std::string& argument) {
    if (command == "createJvm" && vmHandle.load() == nullptr) {
        // A fresh attempt: an earlier failure must not answer the wait for this one.
        status.store(STATUS_OK);
    }
    cmdQueue.Push(Command(command, argument));
}

void JvmMgt::StopQueue() {
    cmdQueue.Stop();
}

int32_t JvmMgt::WaitForJvmStart() {
    TimeGuard guard("JvmMgt::WaitForJvmStart");
    for (;;) {
        if (vmHandle.load() != nullptr || status.load() != STATUS_OK) {
            return status.load();
        }
        if (threadLeft.load()) {
            LOG_INFO("jvm thread has left, no jvm will be created");
            return STATUS_CREATE_FAIL;
        }
        SleepMs(START_POLL_MS);
    }
}

void JvmMgt::WaitForJvmQuit(const int32_t* maxTimes) {
    TimeGuard guard("JvmMgt::WaitForJvmQuit");
    int32_t limit = maxTimes != nullptr ? *maxTimes : -1;
    int32_t times = 0;
    while (vmHandle.load() != nullptr && (limit == -1 || times < limit)) {
        ++times;
        if (times % 10 == 1) {
            LOG_INFO("wait for JvmQuit times: " + std::to_string(times));
        }
        SleepSec(1);
    }
    LOG_INFO(std::string("wait for JvmQuit end,") + (vmHandle.load() != nullptr ? "1" : "0") + "," +
             std::to_string(times));
}

void JvmMgt::DetachCurrentThread(JavaVM* vm) {
    if (vm != nullptr && vm->DetachCurrentThread() < 0) {
        LOG_INFO("DetachCurrentThread fail");
    }
}

JvmPojo JvmMgt::GetJvmPojo() {
    std::lock_guard<std::mutex> lock(createMutex);
    return jvmPojo;
}

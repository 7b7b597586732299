#include "hosts/java/TomcatRequestReceiver.h"

#include <unistd.h>

#include <map>

#include "base/CommonUtil.h"
#include "base/Log.h"
#include "base/PropertyLoader.h"
#include "hosts/java/JniEnvGuard.h"

namespace {

const std::string RECEIVER_CLASS = "com/quorla/brv/tomcatuds/business/ReqReceiverMgt";
const std::string HEALTH_CLASS = "com/quorla/brv/tomcatuds/business/HealthChecker";

const std::map<std::string, std::string>& ClassTable() {
    static const std::map<std::string, std::string> table{
        {"insertRequestReceiver", RECEIVER_CLASS},
        {"clearRequestReceiver", RECEIVER_CLASS},
        {"reconnect", RECEIVER_CLASS},
        {"checkWhetherStopOver", RECEIVER_CLASS},
        {"queryModuleLoad", HEALTH_CLASS},
    };
    return table;
}

const std::map<std::string, std::string>& SignatureTable() {
    static const std::map<std::string, std::string> table{
        {"insertRequestReceiver", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)V"},
        {"clearRequestReceiver", "(Ljava/lang/String;)V"},
        {"reconnect", "(Ljava/lang/String;)V"},
        {"checkWhetherStopOver", "()Z"},
        {"queryModuleLoad", "(Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;Ljava/lang/String;)Z"},
    };
    return table;
}

std::string Lookup(const std::map<std::string, std::string>& table, const std::string& name) {
    auto it = table.find(name);
    return it == table.end() ? std::string() : it->second;
}

// Local references made on an attached thread live until it detaches, so each call frees its
// own (threads already attached, like the JVM thread, would otherwise collect them).
class LocalRef {
public:
    LocalRef(JNIEnv* env, jobject obj) : env_(env), obj_(obj) {}
    ~LocalRef() {
        if (obj_ != nullptr) {
            env_->DeleteLocalRef(obj_);
        }
    }
    LocalRef(const LocalRef&) = delete;
    LocalRef& operator=(const LocalRef&) = delete;
    jstring str() const { return static_cast<jstring>(obj_); }

private:
    JNIEnv* env_;
    jobject obj_;
};

}  // namespace

std::string TomcatRequestReceiver::ClassOf(const std::string& methodName) {
    return Lookup(ClassTable(), methodName);
}

std::string TomcatRequestReceiver::SignatureOf(const std::string& methodName) {
    return Lookup(SignatureTable(), methodName);
}

TomcatRequestReceiver::TomcatRequestReceiver(const std::string& gatewayAddr, const ModuleKey& key)
    : gatewayAddr(gatewayAddr), key(key) {}

std::shared_ptr<TomcatRequestReceiver> TomcatRequestReceiver::create(const std::string& gatewayAddr,
                                                                     const ModuleKey& key) {
    LOG_INFO("create " + gatewayAddr + "," + key.GetName() + "," + key.GetVersion());
    return std::shared_ptr<TomcatRequestReceiver>(new TomcatRequestReceiver(gatewayAddr, key));
}

int32_t TomcatRequestReceiver::start() {
    int32_t r = InsertRequestReceiver();
    if (r != 0) {
        LOG_INFO("invoke InsertRequestReceiver fail");
    }
    return r;
}

void TomcatRequestReceiver::stop() {
    if (state.load() == STATE_STOPPED) {
        return;
    }
    LOG_INFO("begin invoke stop Tomcat clearRequestReceiver...");
    state.store(STATE_STOPPED);
    if (InvokeMethod("clearRequestReceiver") != 0) {
        LOG_INFO("invoke clearRequestReceiver fail");
    }
}

void TomcatRequestReceiver::SetNotReceive() {
    if (state.load() == STATE_STOPPED) {
        return;
    }
    LOG_INFO("begin invoke SetNotReceive Tomcat clearRequestReceiver...");
    state.store(STATE_NOT_RECEIVING);
    if (InvokeMethod("clearRequestReceiver") != 0) {
        LOG_INFO("invoke clearRequestReceiver fail");
    }
}

void TomcatRequestReceiver::reconect() {
    if (InvokeMethod("reconnect") != 0) {
        LOG_INFO("invoke reconect fail");
    }
}

int32_t TomcatRequestReceiver::GetMethod(JNIEnv* env, const std::string& methodName, jclass& cls,
                                         jmethodID& mid) {
    std::string className = ClassOf(methodName);
    cls = className.empty() ? nullptr : env->FindClass(className.c_str());
    if (cls == nullptr) {
        JniEnvGuard::ClearException(env);
        LOG_INFO("find class fail " + className);
        return -1;
    }
    std::string signature = SignatureOf(methodName);
    if (signature.empty()) {
        LOG_INFO("method not find " + methodName);
        return -1;
    }
    mid = env->GetStaticMethodID(cls, methodName.c_str(), signature.c_str());
    if (mid == nullptr) {
        LOG_INFO("find method fail " + methodName);
        JniEnvGuard::ClearException(env);
        return -1;
    }
    return 0;
}

int32_t TomcatRequestReceiver::InvokeMethod(const std::string& methodName) {
    JniEnvGuard guard;
    JNIEnv* env = guard.GetJniEnv();
    if (env == nullptr) {
        LOG_INFO("tomcat not ready");
        return -1;
    }
    jclass cls = nullptr;
    jmethodID mid = nullptr;
    if (GetMethod(env, methodName, cls, mid) != 0) {
        LOG_INFO("get method fail " + methodName);
        return -1;
    }
    LocalRef clsRef(env, cls);
    std::string keyText = KeyText();
    LOG_INFO("invoke method:" + methodName + ",modulKeyStr:" + keyText);
    LocalRef keyRef(env, env->NewStringUTF(keyText.c_str()));
    env->CallStaticVoidMethod(cls, mid, keyRef.str());
    if (env->ExceptionCheck() != JNI_FALSE) {
        LOG_INFO("call method fail " + methodName);
        JniEnvGuard::ClearException(env);
        return -1;
    }
    return 0;
}

int32_t TomcatRequestReceiver::InsertRequestReceiver() {
    JniEnvGuard guard;
    JNIEnv* env = guard.GetJniEnv();
    if (env == nullptr) {
        LOG_INFO("tomcat not ready");
        return -1;
    }
    jclass cls = nullptr;
    jmethodID mid = nullptr;
    if (GetMethod(env, "insertRequestReceiver", cls, mid) != 0) {
        LOG_INFO("get insertRequestReceiver method fail");
        return -1;
    }
    LocalRef clsRef(env, cls);
    std::string keyText = KeyText();
    LOG_INFO("InsertRequestReceiver," + keyText);
    LocalRef keyRef(env, env->NewStringUTF(keyText.c_str()));
    LocalRef pidRef(env, env->NewStringUTF(std::to_string(getpid()).c_str()));
    LocalRef addrRef(env, env->NewStringUTF(gatewayAddr.c_str()));
    env->CallStaticVoidMethod(cls, mid, keyRef.str(), pidRef.str(), addrRef.str());
    if (env->ExceptionCheck() != JNI_FALSE) {
        LOG_INFO("call insertRequestReceiver method fail");
        JniEnvGuard::ClearException(env);
        return -1;
    }
    return 0;
}

bool TomcatRequestReceiver::CheckStopOver() {
    LOG_INFO("TomcatRequestReceiver CheckStopOver...");
    JniEnvGuard guard;
    JNIEnv* env = guard.GetJniEnv();
    if (env == nullptr) {
        LOG_INFO("tomcat not ready,so it's stopped");
        return true;
    }
    jclass cls = nullptr;
    jmethodID mid = nullptr;
    if (GetMethod(env, "checkWhetherStopOver", cls, mid) != 0) {
        LOG_INFO("get checkWhetherStopOver method fail");
        return false;
    }
    LocalRef clsRef(env, cls);
    jboolean over = env->CallStaticBooleanMethod(cls, mid);
    if (env->ExceptionCheck() != JNI_FALSE) {
        LOG_INFO("call checkWhetherStopOver method fail, moduleKey:" + KeyText());
        JniEnvGuard::ClearException(env);
        return false;
    }
    return over != JNI_FALSE;
}

bool TomcatRequestReceiver::ModuleHealthCheck() {
    JniEnvGuard guard;
    JNIEnv* env = guard.GetJniEnv();
    if (env == nullptr) {
        LOG_INFO("tomcat not ready");
        return false;
    }
    jclass cls = nullptr;
    jmethodID mid = nullptr;
    if (GetMethod(env, "queryModuleLoad", cls, mid) != 0) {
        LOG_INFO("get queryModuleLoad method fail");
        return false;
    }
    LocalRef clsRef(env, cls);
    std::string url = getStrProperty("healthCheckUrl");
    ReplaceAll(url, "%s", key.GetName());
    std::string keyText = KeyText();
    LocalRef urlRef(env, env->NewStringUTF(url.c_str()));
    LocalRef portRef(env, env->NewStringUTF(HEALTH_CHECK_PORT));
    LocalRef keyRef(env, env->NewStringUTF(keyText.c_str()));
    LocalRef addrRef(env, env->NewStringUTF(gatewayAddr.c_str()));
    jboolean loaded =
        env->CallStaticBooleanMethod(cls, mid, urlRef.str(), portRef.str(), keyRef.str(), addrRef.str());
    if (env->ExceptionCheck() != JNI_FALSE) {
        LOG_INFO("call queryModuleLoad method fail, healthCheckUrl:" + url + " port:" + HEALTH_CHECK_PORT +
                 " moduleKey:" + keyText + " udsAddr:" + gatewayAddr);
        JniEnvGuard::ClearException(env);
        return false;
    }
    bool result = loaded != JNI_FALSE;
    LOG_INFO("queryModuleLoad," + keyText + ", load:" + (result ? "1" : "0") + "," + url);
    return result;
}

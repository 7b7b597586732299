#include "hosts/java/JniEnvGuard.h"

#include "hosts/java/JvmMgt.h"

JniEnvGuard::JniEnvGuard() {
    jvmPojo.TakeOver(JvmMgt::getInstance().GetJvmPojo());
    JavaVM* vm = jvmPojo.GetVm();
    if (vm == nullptr) {
        return;
    }
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_8) >= 0) {
        jvmPojo.SetEnv(env);
        return;
    }
    env = nullptr;
    if (vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) >= 0) {
        jvmPojo.SetEnv(env);
        jvmPojo.SetAttached(true);
    }
}

JniEnvGuard::~JniEnvGuard() {
    DetachCurrentThread();
}

void JniEnvGuard::DetachCurrentThread() {
    if (!jvmPojo.IsAttached()) {
        return;
    }
    JvmMgt::DetachCurrentThread(jvmPojo.GetVm());
    jvmPojo.SetAttached(false);
}

bool JniEnvGuard::ClearException(JNIEnv* env) {
    if (env == nullptr || env->ExceptionCheck() == JNI_FALSE) {
        return false;
    }
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

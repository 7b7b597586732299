// Attaches the calling thread to the worker's Java VM for the life of one scope and detaches it
// afterwards, unless the thread was attached already (then it is left as it was).
#pragma once

#include <jni.h>

#include "model/JvmPojo.h"

class JniEnvGuard {
public:
    JniEnvGuard();
    ~JniEnvGuard();
    JniEnvGuard(const JniEnvGuard&) = delete;
    JniEnvGuard& operator=(const JniEnvGuard&) = delete;

    // The calling thread's environment; null when no VM exists or attaching failed.
    JNIEnv* GetJniEnv() const { return jvmPojo.GetEnv(); }
    // True when this guard attached the thread and will detach it.
    bool Attached() const { return jvmPojo.IsAttached(); }

    // Describes and clears a pending Java exception; true when there was one.
    static bool ClearException(JNIEnv* env);

private:
    void DetachCurrentThread();

    JvmPojo jvmPojo;
};

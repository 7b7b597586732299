// Record of the process's Java VM: the VM, an environment handle, the arguments it was created
// with, and whether the current thread was attached through this record (and must detach).
#pragma once

#include <jni.h>

class JvmPojo {
public:
    JvmPojo();
    JvmPojo(JavaVM* vm, JNIEnv* env, const JavaVMInitArgs& initArgs);
    virtual ~JvmPojo() = default;
    JvmPojo(const JvmPojo&) = default;
    JvmPojo& operator=(const JvmPojo&) = default;

    JavaVM* GetVm() const { return vm; }
    JNIEnv* GetEnv() const { return env; }
    const JavaVMInitArgs& GetInitArgs() const { return initArgs; }
    bool IsAttached() const { return attached; }
    void SetVm(JavaVM* v) { vm = v; }
    void SetEnv(JNIEnv* e) { env = e; }
    void SetInitArgs(const JavaVMInitArgs& args) { initArgs = args; }
    void SetAttached(bool a) { attached = a; }

    // Forgets the VM and the environment; initArgs stay.
    void Reset();
    // Takes over another record's VM and creation arguments; env and attached stay this record's,
    // since an environment handle belongs to the thread that obtained it.
    void TakeOver(const JvmPojo& other);

private:
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    JavaVMInitArgs initArgs;
    bool attached = false;
};

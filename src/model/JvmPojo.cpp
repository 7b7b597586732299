#include "model/JvmPojo.h"

JvmPojo::JvmPojo() : initArgs{} {}

JvmPojo::JvmPojo(JavaVM* vm, JNIEnv* env, const JavaVMInitArgs& initArgs)
    : vm(vm), env(env), initArgs(initArgs), attached(false) {}

void JvmPojo::Reset() {
    vm = nullptr;
    env = nullptr;
    attached = false;
}

void JvmPojo::TakeOver(const JvmPojo& other) {
    vm = other.vm;
    initArgs = other.initArgs;
}

// Owner of the worker's one in-process Java VM: the VM is created and destroyed on a dedicated
// JVM thread that executes commands from a queue; other threads attach through JniEnvGuard.
//
// Locking: createMutex guards the VM record (jvmPojo) and the libjvm handle; it is held for the
// whole of a creation or destruction and while another thread copies the record. The command
// queue has its own leaf lock. Order: createMutex, then logging. status and threadLeft are
// atomics so that the waiting threads see the JVM thread's writes without the lock.
#pragma once

#include <jni.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/BlockQueue.h"
#include "model/JvmPojo.h"

class JvmMgt {
public:
    static constexpr int32_t STATUS_OK = 0;
    static constexpr int32_t STATUS_CREATE_FAIL = 3;

    using Command = std::pair<std::string, std::string>;

    // The process-wide instance (never destroyed: the VM lives until the process ends).
    static JvmMgt& getInstance();

    JvmMgt() = default;
    JvmMgt(const JvmMgt&) = delete;
    JvmMgt& operator=(const JvmMgt&) = delete;

    // Body of the JVM thread: executes queued commands until the queue is stopped (or the worker
    // exits) and has been emptied. Blocks the worker's handled signals first, so the VM and every
    // thread it starts inherit them blocked.
    void Run();
    // Creates the VM (JVM thread only); "jvm exists" when one runs already.
    void CreateJvm(const std::string& vmArgs);
    // Destroys the VM (JVM thread only); nothing without a VM.
    void StopJvm();

    // Queues a command for the JVM thread ("createJvm" with the VM argument string, "stopJvm").
    void PushCommand(const std::string& command, const std::string& argument);
    // Stops the queue: the JVM thread ends once the queue is empty.
    void StopQueue();
    uint64_t QueueSize() const { return cmdQueue.Size(); }

    // Polls every 30 ms until the VM runs or creation failed; returns the status (0 or 3). Also
    // returns 3 when the JVM thread has already ended, since nobody would create the VM then.
    int32_t WaitForJvmStart();
    // Waits, one second per poll, until no VM exists; -1 polls without limit.
    void WaitForJvmQuit(const int32_t* maxTimes);

    // Detaches the calling thread from vm; a failure is logged and otherwise ignored.
    static void DetachCurrentThread(JavaVM* vm);

    // A copy of the VM record, taken under the create mutex.
    JvmPojo GetJvmPojo();
    int32_t GetStatus() const { return status.load(); }
    bool ThreadLeft() const { return threadLeft.load(); }

    // The JavaVMOption texts for a VM argument string, in order: the pieces of the string, the
    // jar class path of catalina.home and tomcatuds.home, and "-Xrs" last.
    static std::vector<std::string> BuildJvmOptions(const std::string& vmArgs);

    // Where libjvm.so is looked for: $JAVA_HOME first, then Debian's default JDKs.
    static std::vector<std::string> LibJvmCandidates();

private:
    using CreateJavaVMFn = jint (*)(JavaVM**, void**, void*);

    // Opens libjvm.so once and returns JNI_CreateJavaVM, or null (logged). Caller holds createMutex.
    CreateJavaVMFn LoadCreateJavaVM();

    std::mutex createMutex;
    JvmPojo jvmPojo;
    BlockQueue<Command> cmdQueue;
    std::atomic<int32_t> status{STATUS_OK};
    std::atomic<JavaVM*> vmHandle{nullptr};  // mirror of jvmPojo's vm for lock-free polling
    std::atomic<bool> threadLeft{false};
    void* libjvm = nullptr;
    CreateJavaVMFn createJavaVM = nullptr;
};

#include "JvmChild.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "base/LogMgr.h"
#include "hosts/java/JvmMgt.h"
#include "support/ChildProcess.h"
#include "support/LogLines.h"

namespace javavmtest {

bool Checks::Expect(bool ok, const std::string& what, int line)
{
    if (!ok) {
        ++failures_;
        std::ofstream out(notesPath_, std::ios::app);
        out << "line " << line << ": " << what << "\n";
    }
    return ok;
}

bool ChildOutcome::Passed() const
{
    return waitStatus != -1 && WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0 && notes.empty();
}

ChildOutcome RunInChild(const std::function<void(Checks&)>& body, std::chrono::milliseconds timeout)
{
    testsupport::TempDir dir("vessel-jvm");
    testsupport::WriteImmediateLogConfig(dir.path());
    std::string notes = dir / "notes.txt";
    testsupport::ChildProcess child;
    {
        testsupport::ScopedEnv home("VESSEL_HOME", dir.path());
        testsupport::ScopedEnv logDir("_APP_LOG_DIR", dir.path());
        child.Fork([&] {
            LogMgr::ReopenLogFile("jvmtest");
            Checks checks(notes);
            body(checks);
            LogMgr::CloseLogFile();
            return checks.Failures() > 100 ? 100 : checks.Failures();
        });
    }
    ChildOutcome outcome;
    outcome.waitStatus = child.Wait(timeout);
    outcome.notes = testsupport::ReadFile(notes);
    outcome.logs = testsupport::ReadLogs(dir.path(), "jvmtest");
    return outcome;
}

std::string FixtureClassPath()
{
    return std::string(VESSEL_BINARY_DIR) + "/tests/java-fixture/classes";
}

std::thread StartJvmThread()
{
    sigset_t set, old;
    sigemptyset(&set);
    for (int s : {SIGCHLD, SIGALRM, SIGIO, SIGINT, SIGTERM, SIGQUIT}) {
        sigaddset(&set, s);
    }
    pthread_sigmask(SIG_BLOCK, &set, &old);
    std::thread t(&JvmMgt::Run, &JvmMgt::getInstance());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

int CallStaticInt(JNIEnv* env, const char* cls, const char* method, const char* sig, const std::string& arg)
{
    jclass c = env->FindClass(cls);
    if (c == nullptr) {
        env->ExceptionClear();
        return -100;
    }
    jmethodID m = env->GetStaticMethodID(c, method, sig);
    if (m == nullptr) {
        env->ExceptionClear();
        return -101;
    }
    jstring s = env->NewStringUTF(arg.c_str());
    int r = env->CallStaticIntMethod(c, m, s);
    env->DeleteLocalRef(s);
    env->DeleteLocalRef(c);
    return r;
}

std::string CallStaticString(JNIEnv* env, const char* cls, const char* method)
{
    jclass c = env->FindClass(cls);
    if (c == nullptr) {
        env->ExceptionClear();
        return "<no class>";
    }
    jmethodID m = env->GetStaticMethodID(c, method, "()Ljava/lang/String;");
    if (m == nullptr) {
        env->ExceptionClear();
        return "<no method>";
    }
    auto s = static_cast<jstring>(env->CallStaticObjectMethod(c, m));
    std::string out;
    if (s != nullptr) {
        const char* chars = env->GetStringUTFChars(s, nullptr);
        out = chars;
        env->ReleaseStringUTFChars(s, chars);
        env->DeleteLocalRef(s);
    }
    env->DeleteLocalRef(c);
    return out;
}

}  // namespace javavmtest

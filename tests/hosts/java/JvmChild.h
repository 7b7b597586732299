// Runs a Java VM scenario in a forked child: a process can create one Java VM only, so every
// scenario gets a fresh process. The child logs into a directory of its own and leaves notes
// about failed checks, which the parent test reports.
#pragma once

#include <jni.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "support/TestSupport.h"

namespace javavmtest {

// What a child scenario uses to record its checks.
class Checks {
public:
    explicit Checks(std::string notesPath) : notesPath_(std::move(notesPath)) {}
    // Records a failure (with the line) when ok is false; returns ok.
    bool Expect(bool ok, const std::string& what, int line);
    int Failures() const { return failures_; }

private:
    std::string notesPath_;
    int failures_ = 0;
};

#define CHILD_EXPECT(checks, cond) (checks).Expect((cond), #cond, __LINE__)

struct ChildOutcome {
    int waitStatus = -1;
    std::string notes;  // failed checks, one per line
    std::string logs;   // the child's log lines
    bool Passed() const;
};

// Forks, points logging at a fresh directory, runs body and ends the child with its failure
// count as the exit status. Waits up to timeout for the child.
ChildOutcome RunInChild(const std::function<void(Checks&)>& body, std::chrono::milliseconds timeout);

// Class path of the stand-in receiver classes the build compiles for these tests.
std::string FixtureClassPath();

// Starts JvmMgt's thread (with the worker's signals blocked, as the Tomcat manager does).
std::thread StartJvmThread();

// A static method of the stand-in classes returning int / String, called on an attached thread.
int CallStaticInt(JNIEnv* env, const char* cls, const char* method, const char* sig, const std::string& arg);
std::string CallStaticString(JNIEnv* env, const char* cls, const char* method);

}  // namespace javavmtest

// Real deployments through vessel-gateway and the real vessel binary: a module's version is
// switched under a steady trickle of requests without one of them failing or getting the other
// version's answer, and a Go module that could not load is served once its plugin is in place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "support/HttpTestClient.h"
#include "support/TestSupport.h"
#include "support/Trickle.h"
#include "support/VesselStack.h"

using namespace std::chrono_literals;
using testsupport::WaitFor;

namespace {

const std::string BUILD = VESSEL_BINARY_DIR;
const std::string GO_LOADER_DIR = BUILD + "/peers/goloader";
const std::string HELLO_V1 = BUILD + "/examples/go-module/hello";
const std::string HELLO_V2 = BUILD + "/examples/go-module/v2";

bool Exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

class VersionSwitchTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (trickle_) trickle_->Stop();
        if (HasFailure()) {
            if (trickle_) std::cerr << "answers: " << trickle_->Summary() << "\n";
            std::cerr << stack_.AllLogs();
        }
        stack_.Stop();
    }

    void StartStack(const std::string& appConfig, const std::vector<std::string>& gatewayArgs = {}) {
        VesselStack::Options options;
        options.appConfig = appConfig;
        options.gatewayArgs = gatewayArgs;
        options.env = {{"LD_LIBRARY_PATH", GO_LOADER_DIR}};
        ASSERT_TRUE(stack_.Start(options)) << stack_.AllLogs();
    }

    // Switches a module to the configuration `after` while a trickle of 20 requests a second runs
    // against target: every request is answered by the old version (oldMark in the body) until
    // the new one (newMark) takes over, and the old worker ends.
    void SwitchUnderTrickle(const std::string& target, const std::string& after, const std::string& oldMark,
                            const std::string& newMark) {
        trickle_.reset(new Trickle(stack_.Gateway().Port(), target, 50ms));
        trickle_->Start();
        ASSERT_TRUE(trickle_->WaitForBody(oldMark, 30s)) << trickle_->Summary();
        std::vector<pid_t> before = stack_.Workers();
        ASSERT_EQ(before.size(), 1u);
        stack_.SetAppConfig(after);
        ASSERT_TRUE(trickle_->WaitForBody(newMark, 30s)) << trickle_->Summary();
        ASSERT_TRUE(WaitFor([&] { return !VesselStack::Alive(before[0]); }, 30s)) << "old worker still runs";
        ASSERT_TRUE(trickle_->WaitForBody(newMark, 10s));
        trickle_->Stop();
        EXPECT_EQ(trickle_->SwitchFault(oldMark, newMark), "");
        std::cout << "answers during the switch: " << trickle_->Summary() << "\n";
    }

    VesselStack stack_;
    std::unique_ptr<Trickle> trickle_;
};

}  // namespace

TEST_F(VersionSwitchTest, ACModuleSwitchesWithoutLosingARequest) {
    if (!VesselStack::Built({"echo"})) GTEST_SKIP() << "vessel, vessel-gateway or the echo module are not built";
    const std::string dir = VesselStack::CModuleDir("echo");
    StartStack(VesselStack::AppConfig({VesselStack::ModuleEntry("echo", "1.0", dir, "C_MODULE")}));
    // The same library path in both versions: the dynamic loader would hand the old code back
    // in the same worker.
    SwitchUnderTrickle("/echo/x", VesselStack::AppConfig({VesselStack::ModuleEntry("echo", "2.0", dir, "C_MODULE")}),
                       "\"version\":\"1.0\"", "\"version\":\"2.0\"");
}

TEST_F(VersionSwitchTest, AGoModuleSwitchesWithoutLosingARequest) {
    if (!VesselStack::Built({}) || !Exists(GO_LOADER_DIR + "/libgoloader.so") || !Exists(HELLO_V2 + "/hello.so")) {
        GTEST_SKIP() << "vessel, the Go loader or the Go sample is not built";
    }
    StartStack(VesselStack::AppConfig({VesselStack::ModuleEntry("hello", "1.0", HELLO_V1, "GO")}));
    SwitchUnderTrickle("/hello/x", VesselStack::AppConfig({VesselStack::ModuleEntry("hello", "2.0", HELLO_V2, "GO")}),
                       "(hello 1.0)", "(hello 2.0)");
}

TEST_F(VersionSwitchTest, AGoModuleThatFailedToLoadIsServedOnceItsPluginIsInPlace) {
    if (!VesselStack::Built({}) || !Exists(GO_LOADER_DIR + "/libgoloader.so")) {
        GTEST_SKIP() << "vessel or the Go loader is not built";
    }
    testsupport::TempDir location("go-later");
    StartStack(VesselStack::AppConfig({VesselStack::ModuleEntry("hello", "1.0", location.path(), "GO")}),
               {"--request-timeout", "2"});
    // The first request demands the module; the worker cannot load it and says why at once.
    EXPECT_EQ(HttpTestClient::Get(stack_.Gateway().Port(), "/hello/x", 10s).status, 504);
    ASSERT_TRUE(WaitFor([&] { return stack_.WorkerLog().find("hello.so does not exist") != std::string::npos; }, 2s));

    trickle_.reset(new Trickle(stack_.Gateway().Port(), "/hello/x", 200ms));
    trickle_->Start();
    std::filesystem::copy_file(HELLO_V1 + "/hello.so", location / "hello.so");
    auto installed = std::chrono::steady_clock::now();
    ASSERT_TRUE(trickle_->WaitForBody("(hello 1.0)", 20s)) << trickle_->Summary();
    auto took = std::chrono::steady_clock::now() - installed;
    std::cout << "served " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms after the plugin was installed\n";
    EXPECT_LT(took, 12s);
    EXPECT_NE(stack_.MasterLog().find("module not served by worker"), std::string::npos);
}

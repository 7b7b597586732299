// Java modules as a real deployment runs them, through vessel-gateway and the real vessel binary:
// two Java applications in one Vessel each answer from their own application, and a version
// switch under a steady trickle of requests loses none of them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include <boost/algorithm/string/replace.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/HttpTestClient.h"
#include "support/TestSupport.h"
#include "support/Trickle.h"
#include "support/VesselStack.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testsupport::WaitFor;

namespace {

const std::string kExampleDir = std::string(VESSEL_BINARY_DIR) + "/examples/tomcat-app";

class JavaDeploymentTest : public ::testing::Test {
protected:
    void SetUp() override {
        boost::property_tree::ptree root;
        try {
            boost::property_tree::read_json(kExampleDir + "/app.json", root);
        } catch (const std::exception&) {
            GTEST_SKIP() << "the example Java module is not built under " << kExampleDir;
        }
        const auto& entry = root.get_child("Modules").front().second;
        example_ = entry.get<std::string>("Location");
        vmArgs_ = entry.get<std::string>("VmArgs");
        if (!VesselStack::Built({})) GTEST_SKIP() << "vessel or vessel-gateway is not built";
    }
    void TearDown() override {
        if (trickle_) trickle_->Stop();
        if (HasFailure()) {
            if (trickle_) std::cerr << "answers: " << trickle_->Summary() << "\n";
            std::cerr << stack_.AllLogs();
        }
        stack_.Stop();
    }

    // A copy of the example application as module `name` at `version`: its own location (the
    // Catalina bases go under it), its web application under the repository path of that name
    // and version, its URLs under /<name>/.
    std::string MakeModule(const std::string& name, const std::string& version) {
        const std::string location = dir_ / name;
        if (!fs::exists(location)) fs::copy(example_, location, fs::copy_options::recursive);
        const fs::path repo = fs::path(location) / "warren/repository";
        const fs::path app = repo / (name + "@" + version) / name;
        if (!fs::exists(app)) {
            fs::create_directories(app.parent_path());
            fs::copy(repo / "tomcatdemo@1.0/tomcatdemo", app, fs::copy_options::recursive);
            const fs::path webXml = app / "WEB-INF/web.xml";
            std::stringstream text;
            text << std::ifstream(webXml).rdbuf();
            std::string xml = text.str();
            boost::replace_all(xml, "/tomcatdemo/", "/" + name + "/");
            std::ofstream(webXml, std::ios::trunc) << xml;
        }
        return location;
    }
    std::string Entry(const std::string& name, const std::string& version, const std::string& tag) {
        return VesselStack::ModuleEntry(name, version, MakeModule(name, version), "TOMCAT",
                                        vmArgs_ + " -Ddemo.tag=" + tag);
    }
    HttpTestResponse Get(const std::string& target) {
        return HttpTestClient::Get(stack_.Gateway().Port(), target, 60s);
    }

    testsupport::TempDir dir_{"java-deploy"};
    std::string example_;
    std::string vmArgs_;
    VesselStack stack_;
    std::unique_ptr<Trickle> trickle_;
};

}  // namespace

TEST_F(JavaDeploymentTest, TwoApplicationsAnswerFromTheirOwnAndASwitchLosesNoRequest) {
    VesselStack::Options options;
    options.appConfig = VesselStack::AppConfig({Entry("shop", "1.0", "shop-1.0"), Entry("desk", "1.0", "desk-1.0")});
    ASSERT_TRUE(stack_.Start(options)) << stack_.AllLogs();

    HttpTestResponse shop = Get("/shop/hello");
    HttpTestResponse desk = Get("/desk/hello");
    ASSERT_EQ(shop.status, 200) << shop.body;
    ASSERT_EQ(desk.status, 200) << desk.body;
    EXPECT_NE(shop.body.find("(tomcatdemo shop-1.0)"), std::string::npos) << shop.body;
    EXPECT_NE(desk.body.find("(tomcatdemo desk-1.0)"), std::string::npos) << desk.body;
    std::vector<pid_t> workers = stack_.Workers();
    ASSERT_EQ(workers.size(), 2u);  // one Tomcat root application per VM

    trickle_.reset(new Trickle(stack_.Gateway().Port(), "/shop/hello", 50ms));
    trickle_->Start();
    ASSERT_TRUE(trickle_->WaitForBody("shop-1.0", 30s)) << trickle_->Summary();
    stack_.SetAppConfig(VesselStack::AppConfig({Entry("shop", "2.0", "shop-2.0"), Entry("desk", "1.0", "desk-1.0")}));
    ASSERT_TRUE(trickle_->WaitForBody("shop-2.0", 60s)) << trickle_->Summary();
    // The old version's worker drains and ends; the other application's stays.
    ASSERT_TRUE(WaitFor(
        [&] { return VesselStack::Alive(workers[0]) != VesselStack::Alive(workers[1]); }, 40s))
        << "old worker still runs";
    ASSERT_TRUE(trickle_->WaitForBody("shop-2.0", 10s));
    trickle_->Stop();
    EXPECT_EQ(trickle_->SwitchFault("shop-1.0", "shop-2.0"), "");
    EXPECT_NE(Get("/desk/hello").body.find("desk-1.0"), std::string::npos);

    // A Java worker killed outright leaves its Catalina base; the master removes it once reaped.
    pid_t deskPid = VesselStack::Alive(workers[0]) ? workers[0] : workers[1];
    const std::string base = dir_ / ("desk/warren/" + std::to_string(deskPid));
    ASSERT_TRUE(fs::exists(base));
    kill(deskPid, SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(base); }, 10s)) << base;

    // A fast stop ends the workers at once; no base of an ended worker is left.
    ASSERT_EQ(Get("/desk/hello").status, 200);
    stack_.Master().Kill(SIGTERM);
    ASSERT_NE(stack_.Master().Wait(20s), -1);
    for (const char* module : {"shop", "desk"}) {
        for (const auto& entry : fs::directory_iterator(dir_ / (std::string(module) + "/warren"))) {
            EXPECT_EQ(entry.path().filename(), "repository") << "left behind: " << entry.path();
        }
    }
}

// The real vessel binary against a scriptable gateway: it asks for its configuration, then for
// changes on the same connection, and stops on SIGTERM or SIGQUIT removing its own socket only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "proto/GatewayPath.h"
#include "support/ChildProcess.h"
#include "support/LogLines.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

TEST(MasterBinary, AsksForItsConfigurationAndStopsCleanly) {
    for (int signo : {SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(signo);
        TempDir home{"vessel-master"};
        WriteImmediateLogConfig(home.path());
        const std::string app = UniqueName("MasterBin");
        ScopedEnv appEnv{"APP_NAME", app};
        const std::string channel = GetMasterChannelPath();
        ScriptableGateway gateway{ScriptableGateway::PathForApp(app)};
        gateway.QueueReply(
            "pullappcfg",
            {"appcfg", R"({"Modules":[{"Name":"e","Version":"1","Location":"/e","Type":"GO"}]})"});
        ASSERT_EQ(gateway.Start(), 0);
        ChildProcess master;
        ASSERT_TRUE(
            master.Exec({std::string(VESSEL_BINARY_DIR) + "/vessel"},
                        {{"APP_NAME", app}, {"_APP_LOG_DIR", home.path()}, {"VESSEL_HOME", home.path()}},
                        home / "out.txt"));
        auto cfg = gateway.WaitForFrame("pullappcfg", 20s), chg = gateway.WaitForFrame("pullappcfgchg", 20s);
        ASSERT_TRUE(cfg && chg) << ReadLogs(home.path(), "Vessel");
        EXPECT_EQ(cfg->raw, "*2\r\n$10\r\npullappcfg\r\n$9\r\ncontainer\r\n");
        EXPECT_EQ(chg->conn, cfg->conn);
        EXPECT_EQ(ReadFile(home / "out.txt").rfind("Vessel Start\n", 0), 0u);

        struct stat taken {};
        int foreign = -1;
        if (signo == SIGQUIT) {  // someone else's socket took the path meanwhile
            ASSERT_EQ(unlink(channel.c_str()), 0);
            foreign = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{AF_UNIX, {}};
            channel.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
            ASSERT_EQ(bind(foreign, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
            ASSERT_EQ(lstat(channel.c_str(), &taken), 0);
        }
        master.Kill(signo);
        int status = master.Wait(20s);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        struct stat now {};
        const bool present = lstat(channel.c_str(), &now) == 0;
        EXPECT_EQ(present, signo == SIGQUIT) << "the master left its own socket or removed another's";
        EXPECT_TRUE(!present || now.st_ino == taken.st_ino);
        close(foreign);
        unlink(channel.c_str());
    }
}

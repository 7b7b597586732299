// The real vessel binary against a scriptable gateway: it starts, places a demanded module into a
// worker that serves it, and stops on SIGTERM or SIGQUIT leaving no socket of its own and no worker.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cerrno>

#include "proto/GatewayPath.h"
#include "support/ChildProcess.h"
#include "support/LogLines.h"
#include "support/ScriptableGateway.h"
#include "support/TestSupport.h"

using namespace testsupport;
using namespace std::chrono_literals;

TEST(MasterBinary, StartsServesADemandedModuleAndStopsCleanly) {
    for (int signo : {SIGTERM, SIGQUIT}) {
        SCOPED_TRACE(signo);
        TempDir home{"vessel-master"};
        WriteImmediateLogConfig(home.path());
        const std::string app = UniqueName("MasterBin");
        ScopedEnv appEnv{"APP_NAME", app};
        const std::string channel = GetMasterChannelPath();
        const std::string echo = std::string(VESSEL_BINARY_DIR) + "/examples/c-modules/echo";
        ScriptableGateway gateway{ScriptableGateway::PathForApp(app)};
        gateway.QueueReply("pullappcfg",
                           {"appcfg", "{\"Modules\":[{\"Name\":\"echo\",\"Version\":\"1.0\",\"Location\":\"" +
                                          echo + "\",\"Type\":\"C_MODULE\"}]}"});
        gateway.QueueReply("pullmodloadreq", {"pullmodloadrsp", "echo||1.0"});
        ASSERT_EQ(gateway.Start(), 0);

        ChildProcess master;
        ASSERT_TRUE(
            master.Exec({std::string(VESSEL_BINARY_DIR) + "/vessel"},
                        {{"APP_NAME", app}, {"_APP_LOG_DIR", home.path()}, {"VESSEL_HOME", home.path()}},
                        home / "out.txt"));
        // After the full configuration, the same connection asks for changes only.
        auto cfg = gateway.WaitForFrame("pullappcfg", 20s), chg = gateway.WaitForFrame("pullappcfgchg", 20s);
        ASSERT_TRUE(cfg && chg);
        EXPECT_EQ(cfg->raw, "*2\r\n$10\r\npullappcfg\r\n$9\r\ncontainer\r\n");
        EXPECT_EQ(chg->conn, cfg->conn);
        // A worker got the module: it pulls requests for it under its own pid.
        auto pull = gateway.WaitForFrame("pullreq", 20s);
        ASSERT_TRUE(pull && pull->parts.at(1).rfind("echo||1.0||", 0) == 0)
            << ReadLogs(home.path(), "Vessel");
        const pid_t worker = atoi(pull->parts[1].c_str() + 11);
        EXPECT_TRUE(worker != master.Pid() && kill(worker, 0) == 0);
        EXPECT_EQ(ReadFile(home / "out.txt").rfind("Vessel Start\n", 0), 0u);

        // On the way out the master removes its own socket only, never one that took its path.
        struct stat taken {};
        int foreign = -1;
        if (signo == SIGQUIT) {
            ASSERT_EQ(unlink(channel.c_str()), 0);
            foreign = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            channel.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
            ASSERT_EQ(bind(foreign, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
            ASSERT_EQ(lstat(channel.c_str(), &taken), 0);
        }
        master.Kill(signo);
        int status = master.Wait(20s);
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(kill(worker, 0) == -1 && errno == ESRCH) << "the worker outlived the master";
        struct stat now {};
        const bool present = lstat(channel.c_str(), &now) == 0;
        EXPECT_EQ(present, signo == SIGQUIT) << "the master left its own socket or removed another's";
        EXPECT_TRUE(!present || now.st_ino == taken.st_ino);
        close(foreign);
        unlink(channel.c_str());
    }
}

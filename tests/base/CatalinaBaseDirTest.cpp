#include "base/CatalinaBaseDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/CommonUtil.h"
#include "support/LogReader.h"
#include "support/TestSupport.h"

namespace {

using testsupport::LogReader;
using testsupport::ReadFile;
using testsupport::RunInChildWithLog;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A child that has exited; reaped unless keepZombie.
pid_t ExitedChild(bool keepZombie = false)
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | (keepZombie ? WNOWAIT : 0));
    return pid;
}

// A base as Tomcat leaves it: directories, a file, and links out of the base.
void MakeBase(const std::string& base, const std::string& outside)
{
    MakeDirs((base + "/conf/Catalina/localhost").c_str(), 0700);
    MakeDirs((base + "/webapps").c_str(), 0700);
    WriteFile(base + "/conf/server.xml", "<Server/>");
    ASSERT_EQ(symlink(outside.c_str(), (base + "/lib").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/app").c_str(), (base + "/webapps/ROOT").c_str()), 0);
}

class CatalinaBaseDirTest : public ::testing::Test {
protected:
    CatalinaBaseDirTest() : appRoot("APP_ROOT", "", true)
    {
        MakeDirs((outside / "app").c_str(), 0755);
        WriteFile(outside / "app/index.jsp", "kept");
        WriteFile(outside / "keep.jar", "kept");
    }
    void ExpectOutsideIntact()
    {
        EXPECT_EQ(ReadFile(outside / "app/index.jsp"), "kept");
        EXPECT_EQ(ReadFile(outside / "keep.jar"), "kept");
    }
    std::string Base(pid_t pid) { return loc / ("warren/" + std::to_string(pid)); }

    ScopedEnv appRoot;
    TempDir loc{"vessel-cbloc"};
    TempDir outside{"vessel-cbout"};
};

TEST_F(CatalinaBaseDirTest, AppRootOrElseTheLocationHoldsTheBases)
{
    EXPECT_EQ(CatalinaBaseDir::PathFor("/srv/mod", 42), "/srv/mod/warren/42");
    {
        ScopedEnv set("APP_ROOT", "/srv/app");
        EXPECT_EQ(CatalinaBaseDir::PathFor("/srv/mod", 42), "/srv/app/warren/42");
        EXPECT_EQ(CatalinaBaseDir::WarrenRoot("/srv/mod"), "/srv/app/warren");
    }
    ScopedEnv empty("APP_ROOT", "");
    EXPECT_EQ(CatalinaBaseDir::WarrenRoot("/srv/mod"), "/srv/mod/warren");
    // Neither: no base under "/warren" is ever touched.
    EXPECT_EQ(CatalinaBaseDir::RemoveFor("", ExitedChild()), EINVAL);
}

TEST_F(CatalinaBaseDirTest, RemoveEndedTakesOnlyDirectoriesOfEndedPids)
{
    // In a child: removals are logged, and logging must not start in the test process.
    RunInChildWithLog([&](LogReader&) {
        pid_t ended = ExitedChild();
        pid_t endedLink = ExitedChild();
        MakeBase(Base(ended), outside.path());
        MakeBase(Base(getpid()), outside.path());
        MakeDirs((loc / "warren/repository/demo@1.0").c_str(), 0755);
        MakeDirs((loc / ("warren/0" + std::to_string(ended))).c_str(), 0755);
        ASSERT_EQ(symlink(outside.path().c_str(), Base(endedLink).c_str()), 0);

        EXPECT_EQ(CatalinaBaseDir::RemoveEnded(loc.path()), 1);
        EXPECT_FALSE(Exists(Base(ended)));
        ExpectOutsideIntact();
        EXPECT_EQ(ReadFile(Base(getpid()) + "/conf/server.xml"), "<Server/>");
        EXPECT_TRUE(Exists(loc / "warren/repository/demo@1.0"));
        EXPECT_TRUE(Exists(loc / ("warren/0" + std::to_string(ended))));
        EXPECT_TRUE(Exists(Base(endedLink)));

        EXPECT_EQ(CatalinaBaseDir::RemoveEnded(loc.path()), 0);
        TempDir empty("vessel-cbnone");
        EXPECT_EQ(CatalinaBaseDir::RemoveEnded(empty.path()), 0);
    });
}

TEST_F(CatalinaBaseDirTest, RemoveForWaitsUntilThePidIsReaped)
{
    // In a child: removals are logged, and logging must not start in the test process.
    RunInChildWithLog([&](LogReader&) {
        pid_t zombie = ExitedChild(true);
        MakeBase(Base(zombie), outside.path());
        EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc.path(), zombie), EBUSY);
        EXPECT_TRUE(Exists(Base(zombie) + "/conf/server.xml"));

        ASSERT_EQ(waitpid(zombie, nullptr, 0), zombie);
        EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc.path(), zombie), 0);
        EXPECT_FALSE(Exists(Base(zombie)));
        ExpectOutsideIntact();
        EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc.path(), zombie), 0);  // already gone

        {
            ScopedEnv set("APP_ROOT", outside.path());
            MakeBase(outside / ("warren/" + std::to_string(zombie)), outside.path());
            EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc.path(), zombie), 0);
            EXPECT_FALSE(Exists(outside / ("warren/" + std::to_string(zombie))));
        }
        MakeBase(Base(getpid()), outside.path());
        EXPECT_EQ(CatalinaBaseDir::RemoveFor(loc.path(), getpid()), EBUSY);
        EXPECT_TRUE(Exists(Base(getpid()) + "/conf/server.xml"));
    });
}

}  // namespace

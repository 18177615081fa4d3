// TargetManagerAzure with the real agent against Azurite: container, targets, adoption and
// the task configuration.
#include <cstdlib>
#include <ctime>
#include <list>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "azurite.h"
#include "target_azure.h"
#include "vorn/backup/cache.h"

using namespace VORN::Backup;

namespace {

class TargetManagerAzuriteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = new vorntest::AzuriteServer(); }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override {
        m_env.reset(new vorntest::RealAgentEnvironment(*s_server));
        for (const char *name : {"VORN_CONFIG_DIR", "VORN_CACHE_DIR"}) {
            const char *value = getenv(name);
            m_savedEnv.emplace_back(name, value ? value : "\x01");
        }
        setenv("VORN_CONFIG_DIR", m_env->path("config").c_str(), 1);
        setenv("VORN_CACHE_DIR", m_env->path("cache").c_str(), 1);
    }
    void TearDown() override {
        for (const auto &saved : m_savedEnv) {
            if (saved.second == "\x01") {
                unsetenv(saved.first.c_str());
            } else {
                setenv(saved.first.c_str(), saved.second.c_str(), 1);
            }
        }
        m_env.reset();
    }

    // A manager on `container` that speaks plain http to the emulator.
    static std::unique_ptr<TargetManagerAzure> manager(const std::string &container) {
        std::unique_ptr<TargetManagerAzure> tm(
            new TargetManagerAzure(vorntest::azuriteRepository(container)));
        Task plain;
        plain.getOptions().optSet(Task::SZK_TRANS_ENCRYPT, false);
        tm->setTransferOption(plain);
        return tm;
    }

    static std::list<std::string> targetIds(TargetManagerAzure &tm) {
        std::list<TargetInfo> targets;
        std::list<std::string> ids;
        EXPECT_TRUE(tm.listTarget(targets));
        for (const TargetInfo &info : targets) {
            ids.push_back(info.targetId);
        }
        return ids;
    }

    static vorntest::AzuriteServer *s_server;
    std::unique_ptr<vorntest::RealAgentEnvironment> m_env;

private:
    std::vector<std::pair<std::string, std::string>> m_savedEnv;
};

vorntest::AzuriteServer *TargetManagerAzuriteTest::s_server = nullptr;

TEST_F(TargetManagerAzuriteTest, ContainerAndTargets) {
    std::unique_ptr<TargetManagerAzure> tm = manager("targets-one");
    std::string status;
    EXPECT_EQ(-1, tm->getStatus(status));
    EXPECT_EQ(TM_ERR_NOT_FOUND, tm->getErrorCode());
    ASSERT_TRUE(tm->createContainer());
    EXPECT_FALSE(tm->createContainer());
    EXPECT_EQ(TM_ERR_CONFLICT, tm->getErrorCode());
    EXPECT_EQ(1, tm->getStatus(status));

    OptionMap options;
    Json::Value containers;
    ASSERT_TRUE(tm->getAvailableOptions(options));
    ASSERT_TRUE(options.optGet(Repository::SZK_REMOTE_BUCKET, containers));
    bool listed = false;
    for (const Json::Value &name : containers) {
        listed = listed || name.asString() == "targets-one";
    }
    EXPECT_TRUE(listed);

    EXPECT_EQ("T1", tm->createTarget("T", "link-a", 0));
    EXPECT_EQ("T2", tm->createTarget("T", "link-b", 0));
    EXPECT_EQ((std::list<std::string>{"T1", "T2"}), targetIds(*tm));

    EXPECT_TRUE(tm->createTargetByDirName("T1", "link-a"));
    EXPECT_FALSE(tm->createTargetByDirName("T1", "link-b"));
    EXPECT_EQ(TM_ERR_NOT_OWN_TARGET, tm->getErrorCode());

    EXPECT_TRUE(tm->createTargetByDirName("named", "link-c"));
    EXPECT_TRUE(tm->createTargetByDirName("named", "link-c"));
    EXPECT_EQ((std::list<std::string>{"T1", "T2", "named"}), targetIds(*tm));
}

TEST_F(TargetManagerAzuriteTest, TaskConfigurationTime) {
    std::unique_ptr<TargetManagerAzure> tm = manager("targets-two");
    ASSERT_TRUE(tm->createContainer());
    const std::string target = tm->createTarget("T", "link-a", 0);
    ASSERT_EQ("T1", target);

    Task task(3);
    task.getOptions().optSet("schedule", std::string("daily"));
    ASSERT_TRUE(task.save());
    ASSERT_TRUE(tm->setTaskConfig(target, 3));

    long remote = 0, cached = 0;
    ASSERT_TRUE(tm->getTaskConfigTimestamp(target, remote));
    ASSERT_TRUE(TargetInfoCache(1, target).getTimestamp("TaskConfig", cached));
    EXPECT_EQ(remote, cached);
    // The emulator runs on this machine, so its clock is ours.
    EXPECT_LT(std::labs(remote - static_cast<long>(time(nullptr))), 3600L);

    long untouched = 7;
    EXPECT_FALSE(tm->getTaskConfigTimestamp("T9", untouched));
    EXPECT_EQ(7, untouched);
    EXPECT_EQ(TM_ERR_NOT_FOUND, tm->getErrorCode());
}

} // namespace

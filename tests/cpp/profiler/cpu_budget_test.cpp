#include "profiler/cpu_budget.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace profiler {
namespace {

TEST(ShardAmount, FollowsTheProcessorTable) {
    const std::vector<std::pair<std::size_t, std::size_t>> table = {
        {0, 4}, {1, 4}, {2, 8}, {3, 16}, {4, 16}, {6, 32}, {8, 32}, {12, 64}, {16, 64}};
    for (const auto& [processors, shards] : table) {
        EXPECT_EQ(shard_amount_for(processors, std::nullopt), shards) << processors;
    }
}

TEST(ShardAmount, QuotaCapsTheProcessorCount) {
    struct Case {
        std::size_t processors;
        CpuQuota quota;
        std::size_t shards;
    };
    for (const Case& c : {Case{8, {150000, 100000}, 4},   // 1.5 CPUs: one fully usable
                          Case{8, {50000, 100000}, 4},    // below one CPU: still one
                          Case{8, {400000, 100000}, 16},  // 4 CPUs
                          Case{2, {800000, 100000}, 8},   // the quota exceeds the mask
                          Case{0, {300000, 100000}, 4},   // no figure: one processor
                          Case{16, {1200000, 100000}, 64}}) {
        EXPECT_EQ(shard_amount_for(c.processors, c.quota), c.shards)
            << c.processors << " " << c.quota.quota << "/" << c.quota.period;
    }
}

TEST(ShardAmount, ReadsCgroupFiles) {
    const auto half = parse_cpu_max("50000 100000\n");
    ASSERT_TRUE(half.has_value());
    EXPECT_EQ(half->quota, 50000u);
    EXPECT_EQ(half->period, 100000u);
    for (const char* none : {"max 100000\n", "max", "", "garbage", "10 0", "-5 100000"}) {
        EXPECT_FALSE(parse_cpu_max(none).has_value()) << none;
    }
    const auto v1 = parse_cfs_quota("200000\n", "100000\n");
    ASSERT_TRUE(v1.has_value());
    EXPECT_EQ(v1->quota, 200000u);
    EXPECT_FALSE(parse_cfs_quota("-1\n", "100000\n").has_value());
    EXPECT_FALSE(parse_cfs_quota("100000\n", "0\n").has_value());
}

TEST(ShardAmount, DefaultIsAPowerOfTwoAndStable) {
    const std::size_t amount = default_shard_amount();
    EXPECT_GE(amount, 4u);
    EXPECT_TRUE(std::has_single_bit(amount));
    EXPECT_EQ(default_shard_amount(), amount);
}

// A cgroup layout written under a fresh temporary directory: the process's cgroup file
// (absent when self_cgroup is empty), a v2 mount "v2" and a v1 cpu mount "cpu,cpuacct".
class FakeCgroups {
  public:
    explicit FakeCgroups(const std::string& self_cgroup) {
        root_ = std::filesystem::temp_directory_path() /
                ("karvo_cgroups_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
        paths_.self_cgroup = (root_ / "self_cgroup").string();
        paths_.unified = (root_ / "v2").string();
        paths_.v1_cpu = {(root_ / "cpu").string(), (root_ / "cpu,cpuacct").string()};
        if (!self_cgroup.empty()) {
            write("self_cgroup", self_cgroup);
        }
    }
    ~FakeCgroups() { std::filesystem::remove_all(root_); }

    void write(const std::string& relative, const std::string& text) {
        const auto path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    const CgroupPaths& paths() const { return paths_; }

  private:
    static inline int counter_ = 0;
    std::filesystem::path root_;
    CgroupPaths paths_;
};

TEST(CgroupQuota, TightestLimitOnThePathToTheRoot) {
    struct File {
        const char* path;
        const char* text;
    };
    struct Case {
        const char* what;
        const char* self_cgroup;
        std::vector<File> files;
        std::optional<CpuQuota> expected;
    };
    const std::vector<Case> cases = {
        {"no files at all", "0::/a/b\n", {}, std::nullopt},
        {"v2: the tightest of the levels, the leaf's parent",
         "0::/a/b\n",
         {{"v2/cpu.max", "max 100000\n"},
          {"v2/a/cpu.max", "200000 100000\n"},
          {"v2/a/b/cpu.max", "300000 100000\n"}},
         CpuQuota{200000, 100000}},
        {"v2: a sibling's limit does not apply",
         "0::/a/b\n",
         {{"v2/a/c/cpu.max", "50000 100000\n"}, {"v2/a/b/cpu.max", "max 100000\n"}},
         std::nullopt},
        {"v2: without the process's cgroup file only the root counts",
         "",
         {{"v2/cpu.max", "400000 100000\n"}, {"v2/a/cpu.max", "100000 100000\n"}},
         CpuQuota{400000, 100000}},
        {"v1: the cpu controller's path, in a combined mount",
         "5:memory:/elsewhere\n4:cpu,cpuacct:/job\n0::/unified\n",
         {{"cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
          {"cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
          {"cpu,cpuacct/job/cpu.cfs_quota_us", "150000\n"},
          {"cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"},
          {"cpu,cpuacct/elsewhere/cpu.cfs_quota_us", "10000\n"},
          {"cpu,cpuacct/elsewhere/cpu.cfs_period_us", "100000\n"}},
         CpuQuota{150000, 100000}},
        {"v1: a quota without its period is no limit",
         "4:cpu:/job\n",
         {{"cpu/job/cpu.cfs_quota_us", "150000\n"}},
         std::nullopt},
        {"both hierarchies: the tighter ratio wins whatever the periods",
         "4:cpu:/job\n0::/job\n",
         {{"v2/job/cpu.max", "300000 200000\n"},  // 1.5 CPUs
          {"cpu/job/cpu.cfs_quota_us", "250000\n"},
          {"cpu/job/cpu.cfs_period_us", "100000\n"}},  // 2.5 CPUs
         CpuQuota{300000, 200000}},
    };
    for (const Case& c : cases) {
        FakeCgroups tree(c.self_cgroup);
        for (const File& file : c.files) {
            tree.write(file.path, file.text);
        }
        const auto quota = cgroup_quota(tree.paths());
        ASSERT_EQ(quota.has_value(), c.expected.has_value()) << c.what;
        if (quota) {
            EXPECT_EQ(quota->quota, c.expected->quota) << c.what;
            EXPECT_EQ(quota->period, c.expected->period) << c.what;
        }
    }
}

}  // namespace
}  // namespace profiler

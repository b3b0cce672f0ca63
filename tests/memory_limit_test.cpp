// The memory a process may use: the cgroup's limit from a folder laid out as
// the cgroup file systems lay theirs out, and the process's resource limits.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "memory_limit.h"
#include "storage.h"
#include "test_util.h"

using namespace subdiv;

TEST(MemoryLimit, TheCgroupsLimitFromItsFiles)
{
    const uint64_t none = UINT64_MAX;
    const struct {
        const char* self_cgroup; // the text of /proc/self/cgroup; files under the cgroup root
        std::vector<std::pair<std::string, std::string>> files;
        uint64_t limit;
    } cases[] = {
        // cgroup v2: memory.max of the process's cgroup and of those above it, up to the
        // root of the mount (a cgroup namespace's, or the one a path from outside ends in)
        {"0::/user.slice/job\n", {{"user.slice/job/memory.max", "max\n"}}, none},
        {"0::/user.slice/job\n", {{"user.slice/job/memory.max", "1073741824\n"}}, 1073741824},
        {"0::/a/b\n", {{"a/b/memory.max", "max\n"}, {"a/memory.max", "500000000\n"}}, 500000000},
        {"0::/a/b/\n", {{"a/b/memory.max", "7000\n"}, {"a/memory.max", "9000\n"}}, 7000},
        {"0::/\n", {{"memory.max", "268435456\n"}}, 268435456},
        {"0::/host/job\n", {{"memory.max", "300000\n"}}, 300000},
        // cgroup v1: the memory controller's hierarchy, beside v2 without it
        {"12:pids:/x\n4:memory:/docker/c1\n0::/x\n",
         {{"memory/docker/c1/memory.limit_in_bytes", "2147483648\n"}}, 2147483648},
        {"5:cpu,memory:/j\n", {{"memory/j/memory.limit_in_bytes", "9223372036854771712\n"}},
         9223372036854771712u},
        // no memory controller, or nothing but unlimited or unreadable files
        {"3:cpu,cpuacct:/j\n2:pids:/j\n", {{"memory/j/memory.limit_in_bytes", "4096\n"}}, none},
        {"0::/j\n", {{"j/memory.high", "4096\n"}, {"j/memory.max", "a lot\n"}}, none},
        {"", {}, none},
    };
    for (const auto& c : cases) {
        test_util::scratch_folder root;
        for (const auto& [path, text] : c.files) {
            std::filesystem::create_directories(std::filesystem::path(root.file(path)).parent_path());
            test_util::write_file(root.file(path), text);
        }
        EXPECT_EQ(memory_limit_cgroup(root.path.c_str(), c.self_cgroup), c.limit) << c.self_cgroup;
    }
}

// An address space limit below the others is the one that counts, and the
// message names it (RLIMIT_DATA: MemoryBound.TheArraysOfRefineArraysCountInItsBound).
TEST(MemoryLimit, TheAddressSpaceLimitOfTheProcess)
{
    const memory_limit before = memory_limit_process();
    EXPECT_LE(before.bytes, mem_physical());
    struct rlimit saved, lowered;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    lowered = saved;
    lowered.rlim_cur = before.bytes / 2;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &lowered), 0);
    const memory_limit found = memory_limit_process(); // nothing allocated under the limit
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    EXPECT_EQ(found.bytes, before.bytes / 2);
    char text[160];
    EXPECT_EQ(std::string(memory_limit_text(found, text, sizeof text)),
              "this process may use " + std::to_string(before.bytes / 2) +
                  " bytes (its address space limit, RLIMIT_AS)");
}

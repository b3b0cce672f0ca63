// The memory a process may use: the cgroup's limit read from a folder of
// files laid out as the cgroup file systems lay them out, the resource
// limits of the process itself, and a job refused up front when its bound
// passes them.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "memory_bound.h"
#include "memory_limit.h"
#include "parallel.h"
#include "storage.h"
#include "test_util.h"

using namespace subdiv;
using test_util::scratch_folder;
using test_util::write_file;

TEST(MemoryLimit, TheCgroupsLimitFromItsFiles)
{
    const uint64_t none = UINT64_MAX;
    const struct {
        const char* self_cgroup;                    // the text of /proc/self/cgroup
        std::vector<std::pair<std::string, std::string>> files; // under the cgroup root
        uint64_t limit;
    } cases[] = {
        // cgroup v2: memory.max of the process's cgroup and of those above it
        {"0::/user.slice/job\n", {{"user.slice/job/memory.max", "max\n"}}, none},
        {"0::/user.slice/job\n", {{"user.slice/job/memory.max", "1073741824\n"}}, 1073741824},
        {"0::/a/b\n", {{"a/b/memory.max", "max\n"}, {"a/memory.max", "500000000\n"}}, 500000000},
        {"0::/a/b/\n", {{"a/b/memory.max", "7000\n"}, {"a/memory.max", "9000\n"}}, 7000},
        // a cgroup namespace's root is the mount's root
        {"0::/\n", {{"memory.max", "268435456\n"}}, 268435456},
        // a path from outside the namespace: the mount's root still counts
        {"0::/host/job\n", {{"memory.max", "300000\n"}}, 300000},
        // cgroup v1: the memory controller's hierarchy
        {"12:pids:/x\n4:memory:/docker/c1\n1:name=systemd:/x\n",
         {{"memory/docker/c1/memory.limit_in_bytes", "2147483648\n"}},
         2147483648},
        {"5:cpu,memory:/j\n", {{"memory/j/memory.limit_in_bytes", "9223372036854771712\n"}},
         9223372036854771712u},
        // no memory controller, or nothing but unlimited files
        {"3:cpu,cpuacct:/j\n2:pids:/j\n", {{"memory/j/memory.limit_in_bytes", "4096\n"}}, none},
        {"0::/j\n", {{"j/memory.high", "4096\n"}}, none},
        {"0::/j\n", {{"j/memory.max", "a lot\n"}}, none},
        {"", {}, none},
        // hybrid: v2 without the memory controller beside v1 with it
        {"7:memory:/j\n0::/j\n", {{"memory/j/memory.limit_in_bytes", "65536"}}, 65536},
    };
    for (const auto& c : cases) {
        scratch_folder root;
        for (const auto& [path, text] : c.files) {
            std::filesystem::create_directories(std::filesystem::path(root.file(path)).parent_path());
            write_file(root.file(path), text);
        }
        EXPECT_EQ(memory_limit_cgroup(root.path.c_str(), c.self_cgroup), c.limit) << c.self_cgroup;
    }
}

// The process's own limits: each resource limit below the others is the one
// that counts, and the message names it.
TEST(MemoryLimit, TheResourceLimitsOfTheProcess)
{
    const memory_limit before = memory_limit_process();
    EXPECT_LE(before.bytes, mem_physical());
    struct rlimit as_before, data_before;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &as_before), 0);
    ASSERT_EQ(getrlimit(RLIMIT_DATA, &data_before), 0);

    // lowered soft limits; nothing is allocated until they are restored
    const uint64_t as_bytes = before.bytes / 2, data_bytes = before.bytes / 3;
    struct rlimit lowered = as_before;
    lowered.rlim_cur = as_bytes;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &lowered), 0);
    const memory_limit address_space = memory_limit_process();
    lowered = data_before;
    lowered.rlim_cur = data_bytes;
    ASSERT_EQ(setrlimit(RLIMIT_DATA, &lowered), 0);
    const memory_limit data = memory_limit_process();
    ASSERT_EQ(setrlimit(RLIMIT_DATA, &data_before), 0);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &as_before), 0);

    EXPECT_EQ(address_space.bytes, as_bytes);
    EXPECT_EQ(address_space.source, limit_address_space);
    EXPECT_EQ(data.bytes, data_bytes);
    EXPECT_EQ(data.source, limit_data);
    char text[160];
    EXPECT_EQ(std::string(memory_limit_text({1000, limit_data}, text, sizeof text)),
              "this process may use 1000 bytes (its data limit, RLIMIT_DATA)");
    EXPECT_EQ(std::string(memory_limit_text({1000, limit_machine}, text, sizeof text)),
              "this machine has 1000 bytes");
}

// The flat arrays of subdiv_refine_arrays count in its bound: under a data
// limit between the bound of writing the last level and that of gathering
// it, the arrays are refused up front, naming the limit, and the file is
// written.
TEST(MemoryLimit, TheArraysOfARefinementCountInItsBound)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory counts in the data limit";
#endif
    scratch_folder folder;
    std::string text;
    const int n = 100; // a grid of n x n quads
    for (int y = 0; y <= n; ++y)
        for (int x = 0; x <= n; ++x)
            text += "v " + std::to_string(x) + " " + std::to_string(y) + " 0\n";
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int a = y * (n + 1) + x + 1;
            text += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " +
                    std::to_string(a + n + 2) + " " + std::to_string(a + n + 1) + "\n";
        }
    const int iterations = 4;
    const level_counts counts = {uint64_t((n + 1) * (n + 1)), uint64_t(n * n),
                                 uint64_t(2 * n * (n + 1)), uint64_t(4 * n * n), 4, 0, false, false};
    const uint32_t threads = parallel_threads(0);
    const uint64_t streamed =
        uint64_t(memory_bound_streamed(counts, subdiv_scheme_catmull_clark, iterations, threads));
    const uint64_t gathered =
        uint64_t(memory_bound_gathered(counts, subdiv_scheme_catmull_clark, iterations, threads));
    ASSERT_LT(streamed + (uint64_t(32) << 20), gathered);
    const uint64_t limit = streamed + (gathered - streamed) / 2;

    pid_t child = fork();
    if (child == 0) {
        struct rlimit data;
        getrlimit(RLIMIT_DATA, &data);
        data.rlim_cur = limit;
        if (setrlimit(RLIMIT_DATA, &data) != 0) _exit(10);
        subdiv_geom input = {};
        subdiv_error error;
        subdiv_arrays arrays = {};
        if (subdiv_obj_read_text("grid.obj", text.data(), text.size(), nullptr, nullptr, &input,
                                 &error) != subdiv_ok)
            _exit(11);
        if (subdiv_refine_arrays(&input, iterations, nullptr, &arrays, &error) != subdiv_error_limit)
            _exit(12);
        if (!std::string(error.message).ends_with("this process may use " +
                                                  std::to_string(limit) +
                                                  " bytes (its data limit, RLIMIT_DATA)"))
            _exit(13);
        if (subdiv_obj_read_text("grid.obj", text.data(), text.size(), nullptr, nullptr, &input,
                                 &error) != subdiv_ok)
            _exit(14);
        const std::string out = folder.file("out.obj");
        if (subdiv_refine_to_obj(&input, iterations, nullptr, out.c_str(), nullptr, nullptr,
                                 &error) != subdiv_ok)
            _exit(15);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 to 15: the step of the child that failed";
}

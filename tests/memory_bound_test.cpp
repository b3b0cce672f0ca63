// The memory bound that refuses jobs too large for the machine is an upper
// bound: the real peak of the tool stays below it, on a mesh whose shuffled
// faces keep most edges half met while its connectivity is built.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "memory_bound.h"
#include "parallel.h"
#include "storage.h"
#include "test_util.h"

using namespace subdiv;

namespace {

// An icosahedron split `splits` times at its edge midpoints, its faces in a
// random order, as OBJ text; its counts in *counts.
std::string shuffled_icosphere(int splits, level_counts* counts)
{
    const double t = (1.0 + std::sqrt(5.0)) / 2.0;
    std::vector<std::array<double, 3>> v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                                           {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                                           {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    std::vector<std::array<uint64_t, 3>> f = {
        {0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
        {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
        {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};
    for (int s = 0; s < splits; ++s) {
        std::map<std::pair<uint64_t, uint64_t>, uint64_t> middle;
        auto mid = [&](uint64_t a, uint64_t b) {
            auto key = std::minmax(a, b);
            auto found = middle.find(key);
            if (found != middle.end()) return found->second;
            v.push_back({(v[a][0] + v[b][0]) / 2, (v[a][1] + v[b][1]) / 2, (v[a][2] + v[b][2]) / 2});
            return middle[key] = v.size() - 1;
        };
        std::vector<std::array<uint64_t, 3>> next;
        for (const auto& q : f) {
            const uint64_t a = mid(q[0], q[1]), b = mid(q[1], q[2]), c = mid(q[2], q[0]);
            next.insert(next.end(), {{q[0], a, c}, {a, q[1], b}, {c, b, q[2]}, {a, b, c}});
        }
        f = next;
    }
    std::mt19937 random(11);
    std::shuffle(f.begin(), f.end(), random);
    std::string text;
    for (const auto& p : v)
        text += "v " + std::to_string(p[0]) + " " + std::to_string(p[1]) + " " +
                std::to_string(p[2]) + "\n";
    for (const auto& q : f)
        text += "f " + std::to_string(q[0] + 1) + " " + std::to_string(q[1] + 1) + " " +
                std::to_string(q[2] + 1) + "\n";
    *counts = {v.size(), f.size(), 3 * f.size() / 2, 3 * f.size(), 3, 0, false, false, false, 0, 6, 0};
    return text;
}

// The peak resident bytes of one run of the tool on input.
uint64_t tool_peak(const std::string& folder, const char* input, const char* count,
                   const char* option = "--precision=6", const char* option2 = "--precision=6")
{
    pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0 || !freopen("/dev/null", "w", stderr)) _exit(99);
        execl(SUBDIV_EXE, SUBDIV_EXE, option, option2, input, count, "out.obj", (char*)nullptr);
        _exit(98);
    }
    int status = 0;
    struct rusage usage = {};
    EXPECT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return uint64_t(usage.ru_maxrss) * 1024;
}

// Runs job in a child process, which ends with the status job returns;
// returns that status, or 128 when the child ends otherwise.
template <typename job_fn>
int in_child(job_fn job)
{
    const pid_t child = fork();
    if (child == 0) _exit(job());
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The resident bytes of this process now.
uint64_t resident_bytes()
{
    std::istringstream statm(test_util::read_file("/proc/self/statm"));
    uint64_t pages = 0;
    statm >> pages >> pages;
    return pages * uint64_t(sysconf(_SC_PAGESIZE));
}

} // namespace

TEST(MemoryBound, ThePeakOfAShuffledMeshStaysBelowIt)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's shadow memory is part of the peak";
#endif
    test_util::scratch_folder folder;
    level_counts counts, tiny;
    test_util::write_file(folder.file("big.obj"), shuffled_icosphere(6, &counts));
    test_util::write_file(folder.file("tiny.obj"), shuffled_icosphere(0, &tiny));
    // what the process holds besides the job's blocks
    const uint64_t baseline = tool_peak(folder.path, "tiny.obj", "0");
    // and with every edge sharp, whose sharpness each level carries; and
    // with limit positions and normals, for which the level before the last
    // keeps its connectivity
    for (const char* kind : {"", "sharp", "limit"})
        for (const char* count : {"0", "1", "2", "3"}) {
            const bool sharp = kind == std::string("sharp"), limit = kind == std::string("limit");
            if (!limit && count == std::string("0")) continue;
            const uint64_t peak =
                tool_peak(folder.path, "big.obj", count,
                          sharp ? "--crease-angle=0.01" : limit ? "--limit" : "--precision=6",
                          limit ? "--normals" : "--precision=6");
            level_counts job = counts;
            job.sharpness = sharp;
            const unsigned __int128 build = memory_bound_build(job);
            const unsigned __int128 iterations = memory_bound_streamed(
                job, subdiv_scheme_loop, std::atoi(count), parallel_threads(0), limit);
            const uint64_t bound = uint64_t(build > iterations ? build : iterations);
            // (a peak below the baseline, which the sanitizers' varying share
            // of it can give, is within the bound too)
            EXPECT_LE(peak, baseline + bound) << count << " iterations, " << kind
                                              << ": peak " << peak << ", baseline " << baseline;
        }
}

// The arrays that subdiv_refine_arrays gathers count in its bound: its peak
// stays below it, measured in a child process from the resident size once the
// input is read (the kernel resets the peak on request); and under a data
// limit between the bounds of writing the last level and of gathering it,
// the arrays are refused up front, naming the limit, while the file is
// written.
TEST(MemoryBound, TheArraysOfRefineArraysCountInItsBound)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' shadow memory is part of the peak and of the data";
#endif
    level_counts counts;
    const std::string text = shuffled_icosphere(6, &counts);
    const uint32_t threads = parallel_threads(0);
    subdiv_error error;
    auto read = [&](subdiv_geom* g) {
        return subdiv_obj_read_text("big.obj", text.data(), text.size(), nullptr, nullptr, g,
                                    &error) == subdiv_ok;
    };
    for (int count : {0, 1, 2, 3}) {
        const uint64_t bound =
            uint64_t(std::max(memory_bound_build(counts),
                              memory_bound_gathered(counts, subdiv_scheme_loop, count, threads,
                                                    false)));
        EXPECT_EQ(in_child([&] {
            subdiv_geom input = {};
            subdiv_arrays arrays = {};
            if (!read(&input)) return 3;
            mem_trim();
            FILE* reset = std::fopen("/proc/self/clear_refs", "w");
            if (!reset || std::fputs("5", reset) < 0 || std::fclose(reset) != 0) return 0;
            const uint64_t before = resident_bytes();
            if (subdiv_refine_arrays(&input, count, nullptr, &arrays, &error) != subdiv_ok) return 4;
            struct rusage usage;
            getrusage(RUSAGE_SELF, &usage);
            return uint64_t(usage.ru_maxrss) * 1024 - before <= bound ? 0 : 1;
        }), 0) << count << " iterations";
    }

    const uint64_t streamed =
        uint64_t(memory_bound_streamed(counts, subdiv_scheme_loop, 3, threads, false));
    const uint64_t gathered =
        uint64_t(memory_bound_gathered(counts, subdiv_scheme_loop, 3, threads, false));
    const uint64_t limit = streamed + (gathered - streamed) / 2;
    const std::string reason =
        "this process may use " + std::to_string(limit) + " bytes (its data limit, RLIMIT_DATA)";
    test_util::scratch_folder folder;
    EXPECT_EQ(in_child([&] {
        struct rlimit data;
        subdiv_geom input = {};
        subdiv_arrays arrays = {};
        if (getrlimit(RLIMIT_DATA, &data) != 0) return 3;
        data.rlim_cur = limit;
        if (setrlimit(RLIMIT_DATA, &data) != 0 || !read(&input)) return 3;
        if (subdiv_refine_arrays(&input, 3, nullptr, &arrays, &error) != subdiv_error_limit ||
            !std::string(error.message).ends_with(reason))
            return 1;
        const std::string out = folder.file("out.obj");
        return read(&input) && subdiv_refine_to_obj(&input, 3, nullptr, out.c_str(), nullptr,
                                                    nullptr, &error) == subdiv_ok
                   ? 0
                   : 2;
    }), 0);
}

// The tool writes the last level as it makes it; its bound follows, and on a
// machine of 24 GiB admits one more level than the bound of holding every
// level whole, on the meshes of bench/run_job_bench.sh.
TEST(MemoryBound, WritingTheLastLevelAdmitsOneMoreLevel)
{
    const unsigned __int128 memory = uint64_t(24) << 30;
    const struct {
        level_counts counts;
        subdiv_scheme scheme;
    } meshes[] = {
        {{250000, 250000, 500000, 1000000, 4, 0, false, false, false, 0, 4, 0},
         subdiv_scheme_catmull_clark},
        {{163842, 327680, 491520, 983040, 3, 0, false, false, false, 0, 6, 0}, subdiv_scheme_loop},
    };
    for (const auto& mesh : meshes) {
        int held_whole = 0, streamed = 0;
        while (memory_bound_iterations(mesh.counts, mesh.scheme, held_whole + 1, false) <= memory)
            ++held_whole;
        while (memory_bound_streamed(mesh.counts, mesh.scheme, streamed + 1, 2, false) <= memory)
            ++streamed;
        EXPECT_EQ(streamed, held_whole + 1) << mesh.counts.face_size;
    }
}

// OBJ writer: exact text, the number formatter against printf, safe
// replacement of files and every failure path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mesh_fixtures.h"
#include "obj_numbers.h"
#include "obj_write.h"
#include "test_util.h"

using namespace subdiv;

namespace fs = std::filesystem;
using test_util::read_file;
using test_util::scratch_folder;
using test_util::write_file;

namespace {

std::vector<std::string> folder_entries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}


// The text of g written one printf per line: what the writer must match.
std::string printf_text(const geom* g)
{
    std::string text;
    char line[256];
    snprintf(line, sizeof line, "# Vertices %lld\n", (long long)g->n_vertices);
    text += line;
    for (uint64_t i = 0; i < g->n_vertices; ++i) {
        snprintf(line, sizeof line, "v %f %f %f\n", double(g->x[i]), double(g->y[i]),
                 double(g->z[i]));
        text += line;
    }
    snprintf(line, sizeof line, "\n# Triangles %lld\n", (long long)g->n_faces);
    text += line;
    for (uint64_t i = 0; i < g->n_faces; ++i) {
        if (geom_face_size(g) == 4)
            snprintf(line, sizeof line, "f %lld %lld %lld %lld\n", (long long)(g->corner0[i] + 1),
                     (long long)(g->corner1[i] + 1), (long long)(g->corner2[i] + 1),
                     (long long)(g->corner3[i] + 1));
        else
            snprintf(line, sizeof line, "f %lld %lld %lld\n", (long long)(g->corner0[i] + 1),
                     (long long)(g->corner1[i] + 1), (long long)(g->corner2[i] + 1));
        text += line;
    }
    return text;
}

float float_from_bits(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Counts the values whose text differs from printf's, reporting the first few:
// format_f6, and the writer's conversion of four values at once, which must
// take exactly the values whose text is "d.dddddd" after the sign.
int format_mismatches(const std::vector<float>& values)
{
    int mismatches = 0;
    char expected[64], got[64];
    for (uint64_t i = 0; i < values.size(); ++i) {
        const float value = values[i];
        int length = snprintf(expected, sizeof expected, "%f", double(value));
        int got_length = format_f6(value, got);
        if (i % 4 == 0 && i + 4 <= values.size()) {
            uint64_t text[4];
            const unsigned found = f6_short4(&values[i], text);
            for (int k = 0; k < 4; ++k) {
                char printed[64];
                const int n = snprintf(printed, sizeof printed, "%f", double(values[i + uint64_t(k)]));
                const int sign = printed[0] == '-';
                const bool short_text = n - sign == 8;
                if (short_text != bool(found >> k & 1) ||
                    (short_text && std::memcmp(&text[k], printed + sign, 8) != 0)) {
                    if (++mismatches <= 5) ADD_FAILURE() << "four at once: printf " << printed;
                }
            }
        }
        if (got_length == length && std::memcmp(got, expected, size_t(length)) == 0) continue;
        if (++mismatches <= 5) {
            uint32_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            ADD_FAILURE() << "bits 0x" << std::hex << bits << ": printf " << expected << ", got "
                          << std::string(got, size_t(std::max(got_length, 0)));
        }
    }
    return mismatches;
}

} // namespace

// ---------------------------------------------------------------- text

TEST(ObjWrite, TwoVerticesWithoutFaces)
{
    scratch_folder folder;
    geom g = geom_from_arrays({0, 0, 0, 1, 0, 0}, {}, 3);
    ASSERT_EQ(subdiv_obj_write(folder.file("two.obj").c_str(), &g, nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(read_file(folder.file("two.obj")),
              "# Vertices 2\nv 0.000000 0.000000 0.000000\nv 1.000000 0.000000 0.000000\n"
              "\n# Triangles 0\n");
    subdiv_geom_free(&g);

    geom_alloc(&g, 0, 0, 0, 4);
    ASSERT_EQ(subdiv_obj_write(folder.file("empty.obj").c_str(), &g, nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(read_file(folder.file("empty.obj")), "# Vertices 0\n\n# Triangles 0\n");
    subdiv_geom_free(&g);
}

TEST(ObjWrite, QuadsUnderTrianglesHeaderAndTriangleCorners)
{
    scratch_folder folder;
    std::string path = folder.file("mesh.obj");
    geom quad = geom_from_arrays({-1, -0.5f, 2, 1e10f, 0.25f, -3}, {0, 1, 1, 0, 1, 0, 0, 1}, 4);
    ASSERT_EQ(subdiv_obj_write(path.c_str(), &quad, nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(read_file(path), "# Vertices 2\n"
                               "v -1.000000 -0.500000 2.000000\n"
                               "v 10000000000.000000 0.250000 -3.000000\n"
                               "\n# Triangles 2\n"
                               "f 1 2 2 1\n"
                               "f 2 1 1 2\n");
    subdiv_geom_free(&quad);

    geom tri = geom_from_arrays({0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 1, 2}, 3);
    ASSERT_EQ(subdiv_obj_write(path.c_str(), &tri, nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(read_file(path), "# Vertices 3\n"
                               "v 0.000000 0.000000 0.000000\n"
                               "v 1.000000 0.000000 0.000000\n"
                               "v 0.000000 1.000000 0.000000\n"
                               "\n# Triangles 1\n"
                               "f 1 2 3\n");
    // any face size but 4 writes three corners
    tri.flags = 5;
    ASSERT_EQ(subdiv_obj_write(path.c_str(), &tri, nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(read_file(path), printf_text(&tri));
    subdiv_geom_free(&tri);
}

TEST(ObjWrite, LargeMeshMatchesPrintfAcrossBlocks)
{
    // several mebibytes of text, random bit patterns and extreme indices
    std::mt19937 random(7);
    const uint64_t extreme[] = {UINT64_MAX, uint64_t(INT64_MAX), uint64_t(INT64_MAX) - 1,
                                uint64_t(1) << 62, 9, 99, 999999, 99999998, 99999999};
    scratch_folder folder;
    for (int face_size : {3, 4}) {
        geom g;
        geom_alloc(&g, 60000, 70000, 0, face_size);
        for (uint64_t i = 0; i < g.n_vertices; ++i) {
            // random bit patterns and, in lines the writer takes four at a
            // time, values around the largest of six decimals below 10
            g.x[i] = i % 3 ? float_from_bits(random())
                           : float_from_bits((random() & 0x80FFFFFF) | ((100 + random() % 31) << 23));
            g.y[i] = float(int(random() % 2000001) - 1000000) / 1024.0f;
            g.z[i] = float(random() % 100000) / 7.0f;
        }
        uint64_t* columns[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
        for (uint64_t f = 0; f < g.n_faces; ++f)
            for (int c = 0; c < face_size; ++c)
                // indices of every length from 1 to 10 digits
                columns[c][f] = f % 1000 == 0 ? extreme[(f / 1000 + c) % 9]
                                              : random() >> (random() % 32);
        std::string path = folder.file("large.obj");
        ASSERT_EQ(subdiv_obj_write(path.c_str(), &g, nullptr, nullptr), subdiv_ok);
        std::string expected = printf_text(&g);
        ASSERT_GT(expected.size(), 2u << 20);
        EXPECT_TRUE(read_file(path) == expected) << "face size " << face_size;
        subdiv_geom_free(&g);
    }
}

// ---------------------------------------------------------------- formatter

TEST(FormatF6, SpecialValuesMatchPrintf)
{
    std::vector<float> values = {
        0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 1e10f, -1e10f, FLT_MAX, -FLT_MAX, FLT_MIN,
        FLT_TRUE_MIN, -FLT_TRUE_MIN, 1e-7f, -1e-7f, 5e-7f, 4.9999997e-7f, 5.0000004e-7f,
        1.5e-6f, 0.9999995f, 9.9999995f, 10.0f, -10.0f, 99999.99f, 16777215.0f, 16777216.0f, 8388607.5f,
        0.0078125f, 0.0234375f, -0.0078125f, 0.9921875f, 131071.9921875f, 3.14159265f,
        INFINITY, -INFINITY, NAN, -NAN, float_from_bits(0x7F800001), float_from_bits(0xFFC12345),
        std::ldexp(1.0f, 64), std::ldexp(1.0f, 100), 1.8446744e19f, 1e20f, 1e30f, 1e38f};
    for (int k = -149; k <= 127; ++k) values.push_back(std::ldexp(1.0f, k));
    EXPECT_EQ(format_mismatches(values), 0);

    char text[64];
    EXPECT_EQ(std::string(text, size_t(format_f6(-0.0f, text))), "-0.000000");
    EXPECT_EQ(std::string(text, size_t(format_f6(0.0078125f, text))), "0.007812"); // tie to even
    EXPECT_EQ(std::string(text, size_t(format_f6(-FLT_MAX, text))),
              "-340282346638528859811704183484516925440.000000");
}

TEST(FormatF6, MillionsOfValuesMatchPrintf)
{
    std::mt19937 random(2024);
    std::vector<float> values;

    // exact ties: every odd multiple of 2^-7 has a half in the seventh decimal
    for (int n = 1; n < 1 << 16; n += 2) values.push_back(float(n) / 128.0f);
    for (int i = 0; i < 100000; ++i)
        values.push_back(float(int(random() % (1 << 24)) | 1) / 128.0f);

    // the floats around halfway points k + 0.5 of the sixth decimal, at every scale
    for (int i = 0; i < 150000; ++i) {
        double scale = std::ldexp(1.0, int(random() % 30));
        double halfway = (std::floor(double(random()) / 4294967296.0 * scale * 1e6) + 0.5) / 1e6;
        float near = float(random() % 2 ? halfway : -halfway);
        for (int step = 0; step < 4; ++step) {
            values.push_back(near);
            values.push_back(std::nextafter(near, INFINITY));
            near = std::nextafter(near, -INFINITY);
        }
    }

    // random bit patterns over every exponent
    for (int i = 0; i < 1500000; ++i) values.push_back(float_from_bits(random()));
    // small values, where the rounding and carries happen
    for (int i = 0; i < 500000; ++i)
        values.push_back(float_from_bits((random() & 0x80FFFFFF) | ((100 + random() % 60) << 23)));
    EXPECT_EQ(format_mismatches(values), 0);
}

// ---------------------------------------------------------------- files

TEST(ObjWrite, ReplacesFilesWholeAndKeepsTheirMode)
{
    scratch_folder folder;
    std::string path = folder.file("out.obj");
    geom g = geom_from_arrays({1, 2, 3}, {}, 3);
    const std::string text = "# Vertices 1\nv 1.000000 2.000000 3.000000\n\n# Triangles 0\n";

    // a new file gets 0666 less the umask
    mode_t old_mask = umask(027);
    EXPECT_EQ(subdiv_obj_write(path.c_str(), &g, nullptr, nullptr), subdiv_ok);
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // a longer existing file is replaced, its mode kept; writing twice leaves one copy
    write_file(path, std::string(10000, 'x'));
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    EXPECT_EQ(subdiv_obj_write(path.c_str(), &g, nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(subdiv_obj_write(path.c_str(), &g, nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(read_file(path), text);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(folder_entries(folder.path), std::vector<std::string>{"out.obj"});

    // a link to a file stays a link; the file behind it is replaced
    std::string link = folder.file("link.obj");
    write_file(path, "old");
    ASSERT_EQ(symlink("out.obj", link.c_str()), 0);
    EXPECT_EQ(subdiv_obj_write(link.c_str(), &g, nullptr, nullptr), subdiv_ok);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(path), text);
    EXPECT_EQ(folder_entries(folder.path).size(), 2u);

    // a link to no file makes the file it names, and stays a link
    std::string dangling = folder.file("dangling.obj");
    ASSERT_EQ(symlink("made.obj", dangling.c_str()), 0);
    EXPECT_EQ(subdiv_obj_write(dangling.c_str(), &g, nullptr, nullptr), subdiv_ok);
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(read_file(folder.file("made.obj")), text);
    EXPECT_EQ(folder_entries(folder.path).size(), 4u);
    subdiv_geom_free(&g);
}

TEST(ObjWrite, WritesIntoAPipeDirectly)
{
    scratch_folder folder;
    std::string fifo = folder.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = read_file(fifo); });
    geom g = geom_from_arrays({-2.5f, 0.125f, 7}, {0, 0, 0}, 3);
    EXPECT_EQ(subdiv_obj_write(fifo.c_str(), &g, nullptr, nullptr), subdiv_ok);
    reader.join();
    EXPECT_EQ(received, printf_text(&g));
    EXPECT_TRUE(fs::is_fifo(fifo));
    subdiv_geom_free(&g);
}

// The text onto a descriptor, from its offset on, is the text of the file;
// a descriptor that takes no writes gives its errno and nothing else.
TEST(ObjWrite, OntoAnOpenDescriptor)
{
    geom g = geom_from_arrays({0.5f, -1, 3, 1e10f, 2, -0.0f, 1, 1, 1}, {0, 1, 2, 2, 1, 0}, 3);
    int fd = memfd_create("obj_write_test", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "head", 4), 4);
    EXPECT_EQ(obj_write_fd(fd, &g, nullptr), 0);
    std::string text(size_t(lseek(fd, 0, SEEK_CUR)), '\0');
    ASSERT_EQ(pread(fd, text.data(), text.size(), 0), ssize_t(text.size()));
    EXPECT_EQ(text, "head" + printf_text(&g));
    close(fd);

    scratch_folder folder;
    std::string path = folder.file("read-only");
    write_file(path, "keep");
    fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(obj_write_fd(fd, &g, nullptr), EBADF);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    close(fd);
    EXPECT_EQ(read_file(path), "keep");
    subdiv_geom_free(&g);
}

// Text of many blocks on several threads lands after what the descriptor
// held, in order, and leaves the offset at its end, whether the file takes
// writes at offsets or is open to append.
TEST(ObjWrite, ManyBlocksOntoAnOpenDescriptorFromItsOffset)
{
    geom g;
    geom_alloc(&g, 70000, 90000, 0, 4);
    for (uint64_t i = 0; i < g.n_vertices; ++i) {
        g.x[i] = float(i) / 7.0f;
        g.y[i] = -float(i % 1000);
        g.z[i] = 1e-3f * float(i);
    }
    uint64_t* columns[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
    for (uint64_t f = 0; f < g.n_faces; ++f)
        for (int c = 0; c < 4; ++c) columns[c][f] = (f * 7 + uint64_t(c) * 13) % g.n_vertices;
    const std::string expected = "head" + printf_text(&g) + "tail";
    scratch_folder folder;
    for (bool append : {false, true})
        for (int threads : {1, 3}) {
            const std::string path = folder.file("onto.obj");
            write_file(path, "head");
            const int fd = open(path.c_str(), O_WRONLY | (append ? O_APPEND : 0));
            ASSERT_GE(fd, 0);
            ASSERT_EQ(lseek(fd, 4, SEEK_SET), 4);
            subdiv_options options;
            subdiv_options_init(&options);
            options.threads = threads;
            EXPECT_EQ(obj_write_fd(fd, &g, &options), 0);
            ASSERT_EQ(write(fd, "tail", 4), 4);
            close(fd);
            EXPECT_TRUE(read_file(path) == expected) << (append ? "append, " : "") << threads
                                                     << " threads";
        }
    subdiv_geom_free(&g);
}

TEST(ObjWrite, FailuresNameThePathAndTheReason)
{
    scratch_folder folder;
    geom g = geom_from_arrays({1, 2, 3}, {}, 3);
    write_file(folder.file("plain"), "keep");
    struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {folder.file("missing/out.obj"), "No such file or directory"},
        {folder.file("plain/out.obj"), "Not a directory"},
        {folder.path, "Is a directory"},
        {"", "No such file or directory"},
        {"/dev/full", "No space left on device"},
    };
    for (const auto& c : cases) {
        subdiv_error error;
        EXPECT_EQ(subdiv_obj_write(c.path.c_str(), &g, nullptr, &error), subdiv_error_write) << c.path;
        EXPECT_EQ(std::string(error.message), "cannot write '" + c.path + "': " + c.reason);
    }
    EXPECT_EQ(read_file(folder.file("plain")), "keep");
    EXPECT_EQ(folder_entries(folder.path), std::vector<std::string>{"plain"});
    subdiv_geom_free(&g);
}

TEST(ObjWriteDeath, FailedWriteLeavesTheOldFileAndNoTemporary)
{
    scratch_folder folder;
    std::string path = folder.file("out.obj");
    write_file(path, "old mesh");
    // one mesh fails among its vertex lines, the other among its face lines
    geom vertices, faces;
    geom_alloc(&vertices, 200000, 0, 0, 3);
    for (uint64_t i = 0; i < vertices.n_vertices; ++i)
        vertices.x[i] = vertices.y[i] = vertices.z[i] = float(i);
    geom_alloc(&faces, 0, 100000, 0, 4);
    for (uint64_t i = 0; i < faces.n_faces; ++i)
        faces.corner0[i] = faces.corner1[i] = faces.corner2[i] = faces.corner3[i] = i;

    // a link to no file: the file it names is made whole or not at all
    std::string link = folder.file("link.obj");
    ASSERT_EQ(symlink("target.obj", link.c_str()), 0);
    const std::vector<std::string> entries = {"link.obj", "out.obj"};

    // a file-size limit makes write fail with EFBIG once 64 KiB are written
    auto write_limited = [&](const std::string& where, const geom* g) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {65536, 65536};
        setrlimit(RLIMIT_FSIZE, &limit);
        subdiv_error error;
        const subdiv_status status = subdiv_obj_write(where.c_str(), g, nullptr, &error);
        std::fprintf(stderr, "%s\n", error.message);
        bool untouched = read_file(path) == "old mesh" && folder_entries(folder.path) == entries;
        std::exit(status == subdiv_error_write && untouched ? 3 : 4);
    };
    EXPECT_EXIT(write_limited(path, &vertices), testing::ExitedWithCode(3),
                "^cannot write '.*/out.obj': File too large\n$");
    EXPECT_EXIT(write_limited(path, &faces), testing::ExitedWithCode(3),
                "^cannot write '.*/out.obj': File too large\n$");
    EXPECT_EXIT(write_limited(link, &faces), testing::ExitedWithCode(3),
                "^cannot write '.*/link.obj': File too large\n$");
    subdiv_geom_free(&vertices);
    subdiv_geom_free(&faces);
}

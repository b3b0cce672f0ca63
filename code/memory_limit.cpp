// The memory this process may use: the machine's, its cgroup's limit, its
// resource limits.
#include "memory_limit.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "storage.h"

namespace subdiv {

// Reads at most n - 1 bytes of the file at path into out, NUL-ended.
// Returns false when the file cannot be opened or read.
static bool small_file_read(const char* path, char* out, uint64_t n)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint64_t used = 0;
    while (used + 1 < n) {
        const ssize_t got = read(fd, out + used, n - 1 - used);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        used += uint64_t(got);
    }
    close(fd);
    out[used] = '\0';
    return used > 0;
}

// The limit a cgroup's memory file holds: its decimal number (saturating),
// or UINT64_MAX for "max", for anything else and for no file.
static uint64_t cgroup_file_limit(const char* path)
{
    char text[64];
    if (!small_file_read(path, text, sizeof text)) return UINT64_MAX;
    uint64_t value = 0;
    const char* p = text;
    if ((unsigned char)(*p - '0') >= 10) return UINT64_MAX;
    for (; (unsigned char)(*p - '0') < 10; ++p) {
        const uint64_t digit = uint64_t(*p - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    return *p == '\0' || *p == '\n' ? value : UINT64_MAX;
}

// The smallest limit of the file `file` in the folder `folder`/PATH, where
// PATH is the n characters at path, and in each folder above it up to
// `folder` itself.
static uint64_t cgroup_tree_limit(const char* folder, const char* path, uint64_t n,
                                  const char* file)
{
    uint64_t smallest = UINT64_MAX;
    for (;;) {
        while (n > 0 && path[n - 1] == '/') --n;
        char full[4096];
        const int length = std::snprintf(full, sizeof full, "%s/%.*s/%s", folder, int(n), path,
                                         file);
        if (length > 0 && uint64_t(length) < sizeof full) {
            const uint64_t limit = cgroup_file_limit(full);
            if (limit < smallest) smallest = limit;
        }
        if (n == 0) return smallest;
        while (n > 0 && path[n - 1] != '/') --n; // the folder above
    }
}

// Whether the comma-separated controller list of n characters at list
// names the memory controller.
static bool names_memory_controller(const char* list, uint64_t n)
{
    for (uint64_t start = 0; start <= n;) {
        uint64_t end = start;
        while (end < n && list[end] != ',') ++end;
        if (end - start == 6 && std::memcmp(list + start, "memory", 6) == 0) return true;
        start = end + 1;
    }
    return false;
}

uint64_t memory_limit_cgroup(const char* cgroup_root, const char* self_cgroup)
{
    uint64_t smallest = UINT64_MAX;
    char v1_root[4096];
    std::snprintf(v1_root, sizeof v1_root, "%s/memory", cgroup_root);
    // each line: hierarchy ID, controllers, path
    for (const char* line = self_cgroup; *line;) {
        const char* end = std::strchr(line, '\n');
        if (!end) end = line + std::strlen(line);
        const char* first = static_cast<const char*>(std::memchr(line, ':', uint64_t(end - line)));
        const char* second =
            first ? static_cast<const char*>(std::memchr(first + 1, ':', uint64_t(end - first - 1)))
                  : nullptr;
        if (second) {
            const char* path = second + 1;
            const uint64_t n = uint64_t(end - path);
            uint64_t limit = UINT64_MAX;
            if (first - line == 1 && line[0] == '0' && second == first + 1)
                limit = cgroup_tree_limit(cgroup_root, path, n, "memory.max");
            else if (names_memory_controller(first + 1, uint64_t(second - first - 1)))
                limit = cgroup_tree_limit(v1_root, path, n, "memory.limit_in_bytes");
            if (limit < smallest) smallest = limit;
        }
        line = *end ? end + 1 : end;
    }
    return smallest;
}

// The soft limit of the resource, or UINT64_MAX for none.
static uint64_t resource_limit(int resource)
{
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return uint64_t(limit.rlim_cur);
}

memory_limit memory_limit_process()
{
    char self_cgroup[8192];
    uint64_t cgroup = UINT64_MAX;
    if (small_file_read("/proc/self/cgroup", self_cgroup, sizeof self_cgroup))
        cgroup = memory_limit_cgroup("/sys/fs/cgroup", self_cgroup);
    const uint64_t limits[4] = {mem_physical(), cgroup, resource_limit(RLIMIT_AS),
                                resource_limit(RLIMIT_DATA)};
    memory_limit smallest = {limits[0], limit_machine};
    for (int i = 1; i < 4; ++i)
        if (limits[i] < smallest.bytes) smallest = {limits[i], memory_limit_source(i)};
    return smallest;
}

const char* memory_limit_text(memory_limit limit, char* out, uint64_t n)
{
    const unsigned long long bytes = limit.bytes;
    switch (limit.source) {
    case limit_machine: std::snprintf(out, n, "this machine has %llu bytes", bytes); break;
    case limit_cgroup:
        std::snprintf(out, n, "this process may use %llu bytes (the cgroup's limit)", bytes);
        break;
    case limit_address_space:
        std::snprintf(out, n,
                      "this process may use %llu bytes (its address space limit, RLIMIT_AS)", bytes);
        break;
    case limit_data:
        std::snprintf(out, n, "this process may use %llu bytes (its data limit, RLIMIT_DATA)",
                      bytes);
        break;
    }
    return out;
}

} // namespace subdiv

// The memory this process may use: the smallest of the machine's memory,
// its cgroup's limit and its address space and data limits. The memory
// bounds of a job are checked against it before the job starts.
#pragma once

#include <cstdint>

namespace subdiv {

// What sets the memory a process may use.
enum memory_limit_source : int32_t {
    limit_machine = 0,       // the machine's memory
    limit_cgroup = 1,        // the memory limit of the process's cgroup or of one above it
    limit_address_space = 2, // RLIMIT_AS
    limit_data = 3,          // RLIMIT_DATA
};

// The bytes a process may use, and which limit says so.
struct memory_limit {
    uint64_t bytes;
    memory_limit_source source;
};

// The smallest memory limit of the cgroup that self_cgroup (the text of
// /proc/self/cgroup) names and of the cgroups above it, read under
// cgroup_root (where the cgroup file system is mounted, normally
// /sys/fs/cgroup): memory.max under cgroup_root/PATH for the cgroup v2 line
// "0::PATH", memory.limit_in_bytes under cgroup_root/memory/PATH for a
// cgroup v1 line "ID:...memory...:PATH". UINT64_MAX when no file there sets
// a number ("max", or no such file or line).
uint64_t memory_limit_cgroup(const char* cgroup_root, const char* self_cgroup);

// The memory this process may use: the smallest of the machine's memory
// (mem_physical), its cgroup's limit (memory_limit_cgroup of /sys/fs/cgroup
// and /proc/self/cgroup), RLIMIT_AS and RLIMIT_DATA; a tie goes to the
// earlier of these.
memory_limit memory_limit_process();

// The limit for the end of a message, into out (of size n, at least 128):
// "this machine has N bytes", or "this process may use N bytes (the
// cgroup's limit)" and the like. Returns out.
const char* memory_limit_text(memory_limit limit, char* out, uint64_t n);

} // namespace subdiv

// Output files.
//
// A regular file is never truncated in place: the text goes to a temporary
// file in the same folder, which replaces the path by a rename once every
// byte is written and the file is closed, so a failed write leaves the old
// file (or nothing) behind, never a partial one.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "check.h"
#include "error.h"

namespace subdiv {

int output_write_all(int fd, const char* bytes, uint64_t n)
{
    while (n > 0) {
        const ssize_t written = write(fd, bytes, n);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO; // a device that takes nothing would loop forever
        bytes += written;
        n -= uint64_t(written);
    }
    return 0;
}

// Fills *error for a failed write of path with the system's reason and its
// errno.
static subdiv_status report_failure(const char* path, int reason, subdiv_error* error)
{
    error_set(error, subdiv_error_write, {}, "cannot write '%s': %s", path, std::strerror(reason));
    if (error) error->system_errno = reason;
    return subdiv_error_write;
}

// Writes the text straight into what path names (a terminal, a pipe or a
// device). Returns 0 or an errno.
static int write_direct(const char* path, const output_text* text)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int error = text->fill(fd, text->context);
    if (close(fd) != 0 && !error) error = errno;
    return error;
}

// Writes the text to a new temporary file in the folder of target and
// renames it over target. keep_mode is the mode of the regular file being replaced, or
// -1 for a new file, which gets the mode a plain create gives (0666 less the
// umask). The temporary file is removed on failure. Returns 0 or an errno.
static int write_replace(const char* target, int keep_mode, const output_text* text)
{
    // the temporary file: ".subdiv-<pid>-<n>.tmp" beside the target
    const char* slash = std::strrchr(target, '/');
    size_t folder_length = slash ? size_t(slash - target) + 1 : 0;
    char temp[PATH_MAX + 64];
    if (folder_length >= PATH_MAX) return ENAMETOOLONG;
    std::memcpy(temp, target, folder_length);

    int fd = -1;
    for (unsigned attempt = 0; fd < 0; ++attempt) {
        std::snprintf(temp + folder_length, sizeof temp - folder_length, ".subdiv-%ld-%u.tmp",
                      long(getpid()), attempt);
        fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 99)) return errno;
    }

    int error = 0;
    if (keep_mode >= 0) {
        struct stat created;
        if (fstat(fd, &created) != 0)
            error = errno;
        else if (int(created.st_mode & 07777) != keep_mode && fchmod(fd, mode_t(keep_mode)) != 0)
            error = errno;
    }
    if (!error) error = text->fill(fd, text->context);
    if (close(fd) != 0 && !error) error = errno;
    if (!error && rename(temp, target) != 0) error = errno;
    if (error) unlink(temp);
    return error;
}

// The path that a chain of symbolic links from path ends at, whether or not
// anything exists there, into out (PATH_MAX bytes). A relative link target
// counts from the link's folder. Returns 0 or an errno (ELOOP after 40 links).
static int link_target(const char* path, char* out)
{
    if (std::strlen(path) >= PATH_MAX) return ENAMETOOLONG;
    std::strcpy(out, path);
    for (int links = 0; links < 40; ++links) {
        struct stat info;
        if (lstat(out, &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
        char target[PATH_MAX];
        const ssize_t n = readlink(out, target, sizeof target - 1);
        if (n < 0) return errno;
        target[n] = '\0';
        if (target[0] == '/') {
            std::memcpy(out, target, size_t(n) + 1);
            continue;
        }
        // relative: replace the last component of out
        char* slash = std::strrchr(out, '/');
        const size_t folder_length = slash ? size_t(slash - out) + 1 : 0;
        if (folder_length + size_t(n) >= PATH_MAX) return ENAMETOOLONG;
        std::memcpy(out + folder_length, target, size_t(n) + 1);
    }
    return ELOOP;
}

subdiv_status output_file_write(const char* path, const output_text* text, subdiv_error* error)
{
    CHECK(path != nullptr && text != nullptr && text->fill != nullptr, "output_file_write: no path or text");
    if (std::strcmp(path, "-") == 0) {
        const int reason = text->fill(1, text->context);
        return reason ? report_failure("standard output", reason, error) : subdiv_ok;
    }
    if (path[0] == '\0') return report_failure(path, ENOENT, error);

    // a link is followed to the path it ends at; a regular file there, or
    // nothing, is replaced whole through a temporary file beside it
    char target[PATH_MAX];
    int reason = link_target(path, target);
    if (reason) return report_failure(path, reason, error);
    struct stat info;
    if (stat(target, &info) == 0) {
        // a terminal, a pipe, a device, or a folder (whose open fails)
        if (!S_ISREG(info.st_mode)) reason = write_direct(target, text);
        else reason = write_replace(target, int(info.st_mode & 07777), text);
    } else {
        reason = errno == ENOENT ? write_replace(target, -1, text) : errno;
    }
    return reason ? report_failure(path, reason, error) : subdiv_ok;
}

} // namespace subdiv

// Mesh files of either format.
#include "mesh_file.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "check.h"
#include "error.h"
#include "obj_import.h"
#include "obj_write.h"
#include "options.h"
#include "ply_header.h"
#include "ply_import.h"
#include "ply_write.h"
#include "storage.h"

namespace subdiv {

subdiv_status mesh_format_check(const subdiv_options* options, subdiv_error* error)
{
    const subdiv_format format = options ? options->format : subdiv_format_auto;
    if (format >= subdiv_format_auto && format <= subdiv_format_ply_ascii) return subdiv_ok;
    return error_set(error, subdiv_error_usage, {},
                     "the format %d is none of auto, obj, ply and ply-ascii", int(format));
}

subdiv_format mesh_output_format(const char* path, const subdiv_options* options)
{
    const subdiv_format format = options ? options->format : subdiv_format_auto;
    if (format != subdiv_format_auto) return format;
    const uint64_t length = std::strlen(path);
    return length >= 4 && strncasecmp(path + length - 4, ".ply", 4) == 0 ? subdiv_format_ply
                                                                          : subdiv_format_obj;
}

// The import of a whole file held in a block from mem_alloc (with a NUL
// after its length bytes), which this takes over: PLY or OBJ by its start.
static subdiv_status import_block(const char* name, char* text, uint64_t length,
                                  const char* folder, const subdiv_options* options, geom* g,
                                  subdiv_error* error)
{
    if (ply_detect(text, length)) return ply_import_block(name, text, length, options, g, error);
    return obj_import_block(name, text, length, folder, options, g, error);
}

subdiv_status mesh_read_path(const char* path, const subdiv_options* options, geom* g,
                             subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "subdiv_read: no path or record");
    *g = geom{};
    const bool standard_input = std::strcmp(path, "-") == 0;
    const char* name = standard_input ? "standard input" : path;
    const int fd = standard_input ? 0 : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int reason = errno;
        error_set(error, subdiv_error_read, {}, "cannot read '%s': %s", path,
                  std::strerror(reason));
        if (error) error->system_errno = reason;
        return subdiv_error_read;
    }
    char* text = nullptr;
    uint64_t length = 0;
    const subdiv_status status =
        read_whole_file(fd, name, options_threads(options), &text, &length, error);
    if (!standard_input) close(fd);
    if (status != subdiv_ok) return status;
    // an OBJ file's material libraries are looked up beside it
    std::string folder = standard_input ? std::string() : std::string(path);
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
    return import_block(name, text, length, folder.c_str(), options, g, error);
}

subdiv_status mesh_read_buffer(const char* name, const char* text, uint64_t length,
                               const char* folder, const subdiv_options* options, geom* g,
                               subdiv_error* error)
{
    CHECK(name != nullptr && (text != nullptr || length == 0) && g != nullptr,
          "subdiv_read_text: no name, text or record");
    if (!ply_detect(text, length))
        return obj_import_buffer(name, text, length, folder, options, g, error);
    *g = geom{};
    if (length > mem_physical())
        return error_set(error, subdiv_error_limit, {},
                         "%s: a text of %llu bytes does not fit in this machine's memory", name,
                         (unsigned long long)length);
    char* block = static_cast<char*>(mem_alloc(length + 1));
    if (!block) return error_memory(error, length + 1);
    std::memcpy(block, text, length);
    block[length] = '\0';
    return ply_import_block(name, block, length, options, g, error);
}

subdiv_status mesh_write_path(const char* path, const geom* g, const subdiv_options* options,
                              subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "subdiv_write: no path or record");
    const subdiv_status status = mesh_format_check(options, error);
    if (status != subdiv_ok) return status;
    const subdiv_format format = mesh_output_format(path, options);
    if (format == subdiv_format_obj) return obj_write_path(path, g, options, error);
    if (g->face_material)
        warning_report(options, "%s: PLY has no materials; the faces' materials are left out",
                       path);
    return ply_write_path(path, g, format == subdiv_format_ply_ascii, options, error);
}

} // namespace subdiv

// PLY writer: a geom in memory written through its source of blocks.
#include "ply_write.h"

#include <cstring>

#include "check.h"
#include "geom_source.h"
#include "options.h"
#include "output_file.h"
#include "ply_stream.h"

namespace subdiv {

static int stream_fill(int fd, void* context)
{
    return ply_stream_write(fd, static_cast<ply_stream*>(context));
}

subdiv_status ply_write_path(const char* path, const geom* g, bool ascii,
                             const subdiv_options* options, subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "ply_write: no path or record");
    geom_source state;
    obj_source source;
    subdiv_status status = geom_source_open(g, &state, &source, error);
    if (status != subdiv_ok) return status;
    const bool shortest = options && options->precision == subdiv_precision_shortest;
    const char* name = std::strcmp(path, "-") == 0 ? "standard output" : path;
    ply_stream stream;
    status = ply_stream_open(&source, ascii, shortest, options_threads(options), name, &stream,
                             error);
    if (status == subdiv_ok) {
        const output_text text = {stream_fill, &stream};
        status = output_file_write(path, &text, error);
        ply_stream_close(&stream);
    }
    geom_source_close(&state);
    return status;
}

} // namespace subdiv

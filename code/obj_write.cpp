// OBJ writer: a geom in memory written through its source of blocks.
#include "obj_write.h"

#include <cerrno>

#include "check.h"
#include "geom.h"
#include "geom_source.h"
#include "obj_stream.h"
#include "options.h"
#include "output_file.h"

namespace subdiv {

int obj_write_fd(int fd, const geom* g, const subdiv_options* options)
{
    CHECK(g != nullptr, "obj_write_fd: no record");
    geom_source state;
    obj_source source;
    if (geom_source_open(g, &state, &source, nullptr) != subdiv_ok) return ENOMEM;
    const bool shortest = options && options->precision == subdiv_precision_shortest;
    const int reason = obj_stream_write(fd, &source, shortest, options_threads(options));
    geom_source_close(&state);
    return reason;
}

namespace {

struct geom_text {
    const geom* g;
    const subdiv_options* options;
};

} // namespace

static int geom_fill(int fd, void* context)
{
    const auto* text = static_cast<geom_text*>(context);
    return obj_write_fd(fd, text->g, text->options);
}

subdiv_status obj_write_path(const char* path, const geom* g, const subdiv_options* options,
                             subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "obj_write: no path or record");
    geom_text state = {g, options};
    const output_text text = {geom_fill, &state};
    return output_file_write(path, &text, error);
}

} // namespace subdiv

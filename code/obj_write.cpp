// OBJ writer: a geom in memory written through its source of blocks.
#include "obj_write.h"

#include <cerrno>

#include "check.h"
#include "error.h"
#include "geom.h"
#include "geom_source.h"
#include "obj_stream.h"
#include "options.h"
#include "output_file.h"
#include "storage.h"

namespace subdiv {

namespace {

// The OBJ text of a geom: the source of its blocks and the text buffers.
struct geom_text {
    geom_source state;
    obj_source source;
    obj_stream_buffers buffers;
    bool shortest;
};

} // namespace

static void geom_text_free(geom_text* text)
{
    geom_source_close(&text->state);
    obj_stream_free(&text->buffers);
}

// Sets up the text of g, which must stay where it is; false, holding
// nothing, when memory is refused.
static bool geom_text_prepare(geom_text* text, const geom* g, const subdiv_options* options)
{
    CHECK(g != nullptr, "obj_write: no record");
    *text = geom_text{};
    text->shortest = options && options->precision == subdiv_precision_shortest;
    if (geom_source_open(g, &text->state, &text->source, nullptr) != subdiv_ok) return false;
    if (obj_stream_alloc(&text->buffers, &text->source, options_threads(options))) return true;
    geom_text_free(text);
    return false;
}

static int geom_fill(int fd, void* context)
{
    const auto* text = static_cast<const geom_text*>(context);
    return obj_stream_write(fd, &text->source, text->shortest, &text->buffers);
}

int obj_write_fd(int fd, const geom* g, const subdiv_options* options)
{
    geom_text text;
    if (!geom_text_prepare(&text, g, options)) return ENOMEM;
    const int reason = geom_fill(fd, &text);
    geom_text_free(&text);
    return reason;
}

subdiv_status obj_write_path(const char* path, const geom* g, const subdiv_options* options,
                             subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "obj_write: no path or record");
    geom_text text;
    if (!geom_text_prepare(&text, g, options)) return error_memory(error, mem_refused_size());
    const output_text file_text = {geom_fill, &text};
    const subdiv_status status = output_file_write(path, &file_text, error);
    geom_text_free(&text);
    return status;
}

} // namespace subdiv

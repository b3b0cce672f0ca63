// libFuzzer target: obj_parse on arbitrary bytes, as it is and triangulating
// with texture coordinates unused, checking what holds for every successful
// parse.
//
// A failed CHECK inside the reader ends the process, which libFuzzer reports
// as a crash: every check of the reader guards an invariant, never input data.
// Library names are opened in a folder that does not exist, and inputs that
// name a library by an absolute path are passed over, so no file is ever read.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fuzz_common.h"
#include "obj_parse.h"

using namespace subdiv;

static void fuzz_check(bool condition)
{
    if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (names_absolute_library(data, size)) return -1;

    // the reader needs a NUL after the text
    char* text = static_cast<char*>(std::malloc(size + 1));
    if (size) std::memcpy(text, data, size);
    text[size] = '\0';

    for (uint32_t flags : {0u, parse_triangulate | parse_texcoords_unused}) {
        obj_attribs attribs;
        obj_shape* shapes = nullptr;
        obj_material* materials = nullptr;
        uint64_t n_shapes = 0, n_materials = 0;
        // the reader joins continued lines in place: parse a fresh copy each time
        if (size) std::memcpy(text, data, size);
        subdiv_error error;
        const subdiv_status result =
            obj_parse(&attribs, &shapes, &n_shapes, &materials, &n_materials, text, size, flags,
                      "/nonexistent-subdiv-fuzz", "fuzz input", nullptr, &error);
        fuzz_check(result == subdiv_ok || result == subdiv_error_syntax ||
                   result == subdiv_error_limit);
        if (result == subdiv_ok) {
            // the face sizes add up to the corners
            uint64_t corners = 0;
            for (uint32_t i = 0; i < attribs.face_count; ++i) {
                fuzz_check(attribs.face_sizes[i] >= 0);
                fuzz_check(!(flags & parse_triangulate) || attribs.face_sizes[i] == 3);
                fuzz_check(attribs.face_materials[i] == -1); // no library can be read
                corners += uint64_t(attribs.face_sizes[i]);
            }
            fuzz_check(corners == attribs.index_count);
            // every index resolved names an element read before its face
            for (uint32_t i = 0; i < attribs.index_count; ++i) {
                const corner_index& c = attribs.indices[i];
                fuzz_check(c.position_index < attribs.vertex_count);
                fuzz_check(c.texcoord_index == index_missing ||
                           c.texcoord_index < attribs.texcoord_count);
                fuzz_check(c.normal_index == index_missing || c.normal_index < attribs.normal_count);
            }
            for (uint32_t i = 0; i < 3 * attribs.vertex_count; ++i)
                fuzz_check(std::isfinite(attribs.positions[i]));
            fuzz_check(n_materials == 0 && materials == nullptr);
            // shapes are in order and do not overlap
            uint64_t next_face = 0;
            for (uint64_t i = 0; i < n_shapes; ++i) {
                fuzz_check(shapes[i].first_face >= next_face && shapes[i].face_count > 0);
                next_face = uint64_t(shapes[i].first_face) + shapes[i].face_count;
                if (shapes[i].name) fuzz_check(shapes[i].name[0] != '\0');
            }
        } else {
            fuzz_check(attribs.positions == nullptr && shapes == nullptr && materials == nullptr);
            fuzz_check(error.message[0] != '\0' && (result == subdiv_error_limit || error.line > 0));
        }
        obj_attribs_free(&attribs);
        obj_shapes_free(shapes, n_shapes);
        obj_materials_free(materials, n_materials);
    }
    std::free(text);
    return 0;
}

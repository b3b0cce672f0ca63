// The OBJ reader: the text of an OBJ file, held in memory, into flat arrays.
//
// Storage: every array that these functions hand out (the arrays of
// obj_attribs, the obj_shape and obj_material arrays) is a block from
// mem_alloc and is released with mem_free by the *_free functions. Strings
// (shape names, material names and map strings) are malloc'd NUL-terminated
// copies released with free.
#pragma once

#include <cstdint>

#include "mtl_parse.h"
#include "obj_scan.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// obj_parse flags: bit 0 splits every face into a fan of triangles; bit 1
// says that the job does not use texture coordinates, so that a face index
// of one that names nothing is passed over as a normal's is (see obj_parse).
constexpr uint32_t parse_triangulate = 1;
constexpr uint32_t parse_texcoords_unused = 2;

// Room for face corners and faces in one line record. A face statement may
// hold at most OBJ_MAX_FACES_PER_F_LINE - 1 corners, or obj_max_fan_corners
// when triangulating (its fan of triangles then needs 3 (n - 2) entries).
constexpr int OBJ_MAX_FACES_PER_F_LINE = 16;
constexpr int obj_max_fan_corners = 5;

// What one line of an OBJ text holds.
enum line_kind : int32_t {
    kind_empty = 0,             // empty line, comment or unrecognised statement
    kind_vertex = 1,            // "v"
    kind_normal = 2,            // "vn"
    kind_texcoord = 3,          // "vt"
    kind_face = 4,              // "f"
    kind_group = 5,             // "g"
    kind_object = 6,            // "o"
    kind_use_material = 7,      // "usemtl"
    kind_material_library = 8,  // "mtllib"
};

// What obj_parse_line finds wrong with a line; the record's fault names the
// token at fault (or the keyword, when tokens are missing).
enum line_fault : int32_t {
    fault_corner_count = -1, // a face statement with more corners than supported
    fault_corner_range = -2, // a face index beyond ±(2^32 − 1)
    fault_corner_form = -3,  // a face corner not of the form v, v/vt, v//vn or v/vt/vn
    fault_number = -4,       // a coordinate that is not a number, or not a finite float
    fault_too_few = -5,      // fewer coordinates than the statement needs
};

// The parse result of one line; only the fields of its kind are set. Names
// point into the parsed text and keep its trailing blanks and CR.
struct line_record {
    float position[3];                                  // x y z of "v"
    float normal[3];                                    // x y z of "vn"
    float texcoord[2];                                  // u v of "vt" (v 0 when not given)
    corner_written face_corners[OBJ_MAX_FACES_PER_F_LINE]; // corners of "f", as written
    uint64_t corner_count;                              // entries used in face_corners
    int32_t face_sizes[OBJ_MAX_FACES_PER_F_LINE];       // corners of each face the statement yields
    uint64_t face_count;                                // entries used in face_sizes
    const char* group_name;                             // rest of a "g" line
    uint64_t group_name_length;
    const char* object_name;                            // rest of an "o" line
    uint64_t object_name_length;
    const char* material_name;                          // rest of a "usemtl" line, blanks skipped
    uint64_t material_name_length;
    const char* library_name;                           // rest of an "mtllib" line, blanks skipped
    uint64_t library_name_length;
    const char* fault;                                  // the token at fault, when the parse failed
    uint64_t fault_length;
    uint64_t fault_count;                               // corners or coordinates found, for the message
    line_kind kind;                                     // what the line holds
};

// The flat result of obj_parse. Arrays with no entries are null.
struct obj_attribs {
    uint32_t vertex_count;        // number of "v" statements
    uint32_t normal_count;        // number of "vn" statements
    uint32_t texcoord_count;      // number of "vt" statements
    uint32_t index_count;         // number of face corners over all faces
    uint32_t face_count;          // number of faces
    float* positions;             // 3 * vertex_count entries: x y z in statement order
    float* normals;               // 3 * normal_count entries
    float* texcoords;             // 2 * texcoord_count entries: u v
    corner_index* indices;        // index_count entries: resolved 0-based indices, face by
                                  // face; index_missing for a part a corner does not give
    int32_t* face_sizes;          // face_count entries: corners of each face
    int32_t* face_materials;      // face_count entries: index into the materials, or -1
    int32_t* face_usemtl;         // face_count entries: index into usemtl_names of the usemtl
                                  // statement in force, or -1 before the first
    char* usemtl_names;           // usemtl_count names, as the usemtl statements wrote them
                                  // (trailing blanks cut), each ended by NUL, in order of first use
    uint32_t usemtl_count;
    char* library_name;           // the name the last mtllib statement wrote (trailing blanks
                                  // cut), NUL-ended, or null without one
};

// A named run of face statements (a group or object with its faces).
struct obj_shape {
    char* name;           // owned copy of the "g"/"o" rest of line; null when absent or empty
    uint32_t first_face;  // index of the shape's first face statement
    uint32_t face_count;  // number of face statements in the shape
};

// Sets the counts to 0 and the arrays and names to null.
void obj_attribs_init(obj_attribs* attribs);

// Releases every non-null array of *attribs and empties it.
void obj_attribs_free(obj_attribs* attribs);

// Releases the names of n_shapes shapes, then the array; a null array is left alone.
void obj_shapes_free(obj_shape* shapes, uint64_t n_shapes);

// Parses the line of `length` characters at `line` into *record (kind and the
// fields of the kind). The character at line[length] must end the line (LF,
// CR or NUL), as it does for every line of a text that obj_parse splits.
// Returns 1 for one of the eight statements, 0 for anything else, or a
// line_fault with record->fault set: "v" and "vn" need three coordinates and
// "vt" one or two (more are passed over), each a whole decimal number that
// reads as a finite float; face corners must have the form parse_corner
// reads, at most 15 of them (5 when triangulating).
int obj_parse_line(line_record* record, const char* line, uint64_t length, bool triangulate);

// Parses the OBJ text of `length` bytes at `text` (text[length] must be NUL)
// into *attribs, a shape array *shapes of *n_shapes records and the materials
// of the last "mtllib" statement (*materials, *n_materials; null and 0 without
// one). A line that ends in a backslash continues on the next: the text is
// changed in place, the backslash and the line end becoming blanks. Face
// indices resolve against the statements before the face: a position index
// (and a texture coordinate index, unless flags has parse_texcoords_unused)
// must name one of them; a normal index (texture coordinate index) that
// names none resolves to index_missing, and the first such corner of the
// text gives one warning through options (which may be null). A relative
// library name is opened in base_dir (null or "" for the current
// directory); a library that cannot be read is passed over with a warning.
// name, the text's file, goes into the messages. Returns subdiv_ok, with the
// caller owning every output (released with obj_attribs_free,
// obj_shapes_free and obj_materials_free),
// or, with nothing held and *error naming the line: subdiv_error_syntax, or
// subdiv_error_limit for more than 2^32 − 1 elements of a kind or arrays that
// would not fit in memory.
subdiv_status obj_parse(obj_attribs* attribs, obj_shape** shapes, uint64_t* n_shapes,
                        obj_material** materials, uint64_t* n_materials, char* text,
                        uint64_t length, uint32_t flags, const char* base_dir, const char* name,
                        const subdiv_options* options, subdiv_error* error);

} // namespace subdiv

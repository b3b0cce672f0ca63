// Wavefront OBJ reader: token scanners, the material name table, the material
// library reader and the OBJ text parser.
//
// Storage: every array that these functions hand out (the arrays of
// obj_attribs, the obj_shape and obj_material arrays, the name table's keys
// and slots) is a block from mem_alloc and is released with mem_free by the
// *_free functions. Strings (shape names, material names and map strings) are
// plain malloc'd NUL-terminated copies released with free: a page-padded block
// per name would cost 4 KiB for every group of a file.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- results

constexpr int parse_ok = 0;              // success; all outputs set
constexpr int parse_error_empty = -1;    // the text holds no line (never for a length above 0)
constexpr int parse_error_invalid = -2;  // a length of 0 or a null argument; nothing touched
constexpr int parse_error_file = -3;     // a file cannot be opened or read
constexpr int parse_error_face = -4;     // a face statement has more corners than supported
constexpr int parse_error_index = -5;    // a face index lies outside the 32-bit range

// obj_parse flags: bit 0 splits every face into a fan of triangles.
constexpr uint32_t parse_triangulate = 1;

// Room for face corners and faces in one line record. A face statement may
// hold at most OBJ_MAX_FACES_PER_F_LINE - 1 corners, or obj_max_fan_corners
// when triangulating (its fan of triangles then needs 3 (n - 2) entries).
constexpr int OBJ_MAX_FACES_PER_F_LINE = 16;
constexpr int obj_max_fan_corners = 5;

// ---------------------------------------------------------------- token scanners
//
// Scanners work on text that ends in a NUL and move a cursor (a pointer to the
// current character). A token ends at NUL, space, tab, CR or LF, so scanners
// stop at every line end of an OBJ text and can parse lines in place. None of
// them allocates or reports errors: a malformed token reads as 0.

// One face corner as written: 1-based or relative (negative) indices, or
// index_missing for a part the corner does not give.
struct corner_index {
    int32_t position_index;
    int32_t texcoord_index;
    int32_t normal_index;
};
static_assert(sizeof(corner_index) == 12, "corner_index is three 32-bit indices");

// The index of a corner part that is not given (the smallest 32-bit integer).
constexpr int32_t index_missing = INT32_MIN;

// Moves the cursor past spaces and tabs.
void skip_blanks(const char** cursor);

// Reads [start, end) as a decimal number: optional sign, digits, optional
// point and fraction digits, optional exponent (e or E, optional sign,
// digits). On success sets *out and returns true; on failure returns false and
// leaves *out untouched. Text after a valid prefix is ignored ("12abc" is 12)
// except where an exponent marker lacks its digits ("1e" fails).
bool parse_number(const char* start, const char* end, double* out);

// Skips blanks, reads one token as a number (0 when malformed or missing) and
// leaves the cursor at the end of the token. The double is rounded to float.
float parse_float(const char** cursor);

// Two or three parse_float calls in order.
void parse_float2(const char** cursor, float* a, float* b);
void parse_float3(const char** cursor, float* a, float* b, float* c);

// Optional sign and decimal digits in wrapping 32-bit arithmetic; the first
// non-digit stops; no digits give 0. The text is not moved.
int32_t parse_int(const char* text);

// Skips blanks, parse_int, then moves the cursor to the end of the token.
int32_t parse_int_token(const char** cursor);

// Reads one face corner (v, v/vt, v//vn or v/vt/vn) and leaves the cursor at
// the delimiter (NUL, "/", space, tab, CR or LF) that ended it.
corner_index parse_corner(const char** cursor);

// The 0-based index of a corner part: i - 1 for i > 0, 0 for 0, and n + i
// (wrapping 32-bit) for a relative i < 0, where n is the number of statements
// of the matching kind read before the face.
int32_t resolve_index(int32_t i, uint64_t n);

// ---------------------------------------------------------------- material name table
//
// Maps material names to material indices by their djb2 hash alone (two names
// of one hash are one key), with quadratic probing from the home slot
// (hash mod capacity) and a chain of next pointers from every home slot.

struct name_table_slot {
    uint32_t key;          // hash of the name held here
    int32_t occupied;      // 1 when the slot holds a key, else 0
    int32_t value;         // material index of the name
    name_table_slot* next; // next slot whose key has the same home slot, or null
};

struct name_table {
    uint32_t* keys;          // capacity entries: keys in the order added, the first count valid
    name_table_slot* slots;  // capacity entries: zero-filled when created
    uint64_t capacity;       // number of slots
    uint64_t count;          // number of keys added
};

// The djb2 hash of a NUL-terminated text: 5381, then hash * 33 + byte.
uint32_t name_hash(const char* text);

// Sets up an empty table of the given capacity (0 becomes 10). What *table
// held is overwritten, not released.
void name_table_create(uint64_t capacity, name_table* table);

// Releases the slots and keys of *table and clears it.
void name_table_free(name_table* table);

// Puts key and value in the first free slot of the quadratic probe sequence
// from the key's home slot and links it into the home slot's chain. Returns 0
// when placed, 1 when every probe met an occupied slot. Does not record the key.
int name_table_place(uint32_t key, int32_t value, name_table* table);

// name_table_place, and on success appends key to keys and counts it.
int name_table_add(uint32_t key, int32_t value, name_table* table);

// The occupied slot on the key's home chain that holds key, or null.
name_table_slot* name_table_find(uint32_t key, const name_table* table);

// Enlarges the table when wanted_count exceeds its capacity, to 2 * wanted_count
// or 2 * capacity, whichever is larger, and places every recorded key again.
void name_table_grow(uint64_t wanted_count, name_table* table);

// True when the table holds the name's hash.
bool name_table_contains(const char* name, const name_table* table);

// The value of the name; the name must be present (a fatal check otherwise).
int32_t name_table_get(const char* name, const name_table* table);

// Sets the value of the name: replaces it when present, otherwise adds the
// name, growing the table first when it is full, and again whenever the probe
// sequence finds no free slot. Always completes.
void name_table_set(const char* name, int32_t value, name_table* table);

// ---------------------------------------------------------------- material library

// One material of a library. Strings are owned, NUL-terminated, malloc'd.
struct obj_material {
    char* name;              // "newmtl" word; "" when the statement has none
    float ambient[3];        // Ka, default 0 0 0
    float diffuse[3];        // Kd, default 0 0 0
    float specular[3];       // Ks, default 0 0 0
    float transmittance[3];  // Kt, default 0 0 0
    float emission[3];       // Ke, default 0 0 0
    float shininess;         // Ns, default 1
    float refraction_index;  // Ni, default 1
    float dissolve;          // d, or 1 - Tr; default 1
    int32_t illum;           // illum, default 0
    char* ambient_map;       // map_Ka: rest of the line up to CR/LF, or null
    char* diffuse_map;       // map_Kd
    char* specular_map;      // map_Ks
    char* shininess_map;     // map_Ns
    char* bump_map;          // map_bump or bump
    char* displacement_map;  // disp
    char* alpha_map;         // map_d
};

// Reads the material library at path into *materials (an array of
// *num_materials records, null when there are none) and, when material_table
// is not null, sets each material's name in it to the material's index.
// Returns parse_ok; parse_error_invalid (nothing touched) when materials,
// num_materials or path is null; parse_error_file, after the message
// "OBJ: Error reading file '<path>': <reason> (<errno>)", when the file cannot
// be opened or read. Lines of any length are read whole.
int mtl_parse(obj_material** materials, uint64_t* num_materials, const char* path,
              name_table* material_table);

// Releases the name and map strings of count materials, then the array. A
// null array is left alone.
void obj_materials_free(obj_material* materials, uint64_t count);

// ---------------------------------------------------------------- OBJ reader

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

// The parse result of one line; only the fields of its kind are set. Names
// point into the parsed text and keep its trailing blanks and CR.
struct line_record {
    float position[3];                                  // x y z of "v"
    float normal[3];                                    // x y z of "vn"
    float texcoord[2];                                  // u v of "vt"
    corner_index face_corners[OBJ_MAX_FACES_PER_F_LINE]; // corners of "f", as written (unresolved)
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
    corner_index* indices;        // index_count entries: resolved 0-based indices, face by face
    int32_t* face_sizes;          // face_count entries: corners of each face
    int32_t* face_materials;      // face_count entries: index into the materials, or -1
};

// A named run of face statements (a group or object with its faces).
struct obj_shape {
    char* name;           // owned copy of the "g"/"o" rest of line; null when absent or empty
    uint32_t first_face;  // index of the shape's first face statement
    uint32_t face_count;  // number of face statements in the shape
};

// Sets the five counts to 0 and the six arrays to null.
void obj_attribs_init(obj_attribs* attribs);

// Releases every non-null array of *attribs and empties it.
void obj_attribs_free(obj_attribs* attribs);

// Releases the names of n_shapes shapes, then the array; a null array is left alone.
void obj_shapes_free(obj_shape* shapes, uint64_t n_shapes);

// Parses the line of `length` characters at `line` into *record (kind and the
// fields of the kind). The character at line[length] must end the line (LF,
// CR or NUL), as it does for every line of a text that obj_parse splits.
// Returns 1 for one of the eight statements, 0 for anything else, and, with
// kind_face and no corner stored, parse_error_face for a face statement with
// too many corners and parse_error_index for one with an index outside the
// 32-bit range (which parse_int would wrap to another index).
int obj_parse_line(line_record* record, const char* line, uint64_t length, bool triangulate);

// Parses the OBJ text of `length` bytes at `text` (text[length] must be NUL)
// into *attribs, a shape array *shapes of *n_shapes records and the materials
// of the last "mtllib" statement (*materials, *n_materials; null and 0 without
// one). A relative library name is opened in base_dir (null or "" for the
// current directory); a library that cannot be read is reported on stderr and
// leaves every face without material. flags: parse_triangulate.
// Returns parse_ok; parse_error_invalid when length is 0 or a pointer other
// than base_dir and name is null (nothing touched); after a message naming
// the line (and name, the text's file, when it is not null),
// parse_error_face when a face statement has more than 15 corners (5 when
// triangulating) and parse_error_index when a face index lies outside the
// 32-bit range, both with *attribs empty and the out-parameters null and 0.
// On success the caller owns every output and releases it with
// obj_attribs_free, obj_shapes_free and obj_materials_free.
int obj_parse(obj_attribs* attribs, obj_shape** shapes, uint64_t* n_shapes,
              obj_material** materials, uint64_t* n_materials, const char* text,
              uint64_t length, uint32_t flags, const char* base_dir, const char* name);

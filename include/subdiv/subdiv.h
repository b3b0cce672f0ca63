/* subdiv: refines polygon meshes by repeated subdivision, and reads and
 * writes them as Wavefront OBJ text or as PLY (ascii or binary).
 *
 * A caller reads a mesh into a subdiv_geom record, refines it a number of
 * times and writes the result:
 *
 *     subdiv_options options;
 *     subdiv_options_init(&options);
 *     subdiv_geom input = {0}, output = {0};
 *     subdiv_error error;
 *     if (subdiv_obj_read("in.obj", &options, &input, &error) == subdiv_ok &&
 *         subdiv_refine(&input, 3, &options, &output, &error) == subdiv_ok &&
 *         subdiv_obj_write("out.obj", &output, &options, &error) == subdiv_ok) { ... }
 *     subdiv_geom_free(&input);
 *     subdiv_geom_free(&output);
 *
 * Every float operation of the refinement happens in single precision in a
 * fixed order, so the same input gives the same bits on every machine, build
 * and code path.
 *
 * Failures are values: each function returns subdiv_ok or another
 * subdiv_status and fills the caller's error record. No function prints,
 * exits or aborts on bad input or on memory the system refuses; progress and
 * warnings reach the caller through the callbacks of the options. Only a
 * broken internal invariant (a programming error) ends the process with a
 * message.
 *
 * The header is C11 and C++; every name it declares starts with subdiv_ or
 * SUBDIV_. */
#ifndef SUBDIV_SUBDIV_H
#define SUBDIV_SUBDIV_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/* The version of this header; subdiv_version() gives the library's. */
#define SUBDIV_VERSION_MAJOR 0
#define SUBDIV_VERSION_MINOR 3
#define SUBDIV_VERSION_PATCH 0

/* The library's entry points: exported from a shared build, whose other
 * symbols stay hidden. */
#if defined(__GNUC__)
#define SUBDIV_API __attribute__((visibility("default")))
#else
#define SUBDIV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- the mesh record */

/* A mesh as parallel arrays. When all faces have the same size, 3 or 4, the
 * low four bits of flags hold it and corner0 to corner3 the faces; otherwise
 * they hold 0 and face_start and corners the faces, of 3 to 15 corners each.
 * The record owns its arrays, blocks of the library's allocator that
 * subdiv_geom_free releases (subdiv_geom_alloc gives a caller its own); a
 * plain copy shares them and exactly one copy may be released. A record
 * cleared to all zero holds no mesh and is released harmlessly. */
typedef struct subdiv_geom {
    float* x;            /* n_vertices entries: x of each vertex */
    float* y;            /* n_vertices entries: y of each vertex */
    float* z;            /* n_vertices entries: z of each vertex */
    uint64_t* corner0;   /* n_faces entries: zero-based vertex at corner 0 of each face */
    uint64_t* corner1;   /* n_faces entries: vertex at corner 1 */
    uint64_t* corner2;   /* n_faces entries: vertex at corner 2 */
    uint64_t* corner3;   /* n_faces entries: vertex at corner 3; null unless face size is 4 */
    uint64_t n_vertices; /* number of vertices */
    uint64_t n_faces;    /* number of faces */
    uint64_t n_edges;    /* number of undirected edges (the refinement sets it) */
    uint64_t flags;      /* bits 0-3: face size (3 or 4), 0 for faces of any sizes; others 0 */
    uint64_t* face_start; /* faces of any sizes: n_faces + 1 entries, face f's corners are
                             corners[face_start[f]] to corners[face_start[f + 1] - 1]; else null */
    uint64_t* corners;    /* faces of any sizes: face_start[n_faces] entries, the zero-based
                             vertex of each corner, face by face; else null */

    /* Texture coordinates (read and refined with the option uv), null
     * without: a texture coordinate per face corner, face-varying. */
    float* tex_u;               /* n_texcoords entries: u of each texture coordinate */
    float* tex_v;               /* n_texcoords entries: v of each texture coordinate */
    uint64_t n_texcoords;
    uint64_t* corner_texcoord;  /* an entry per face corner, face by face (corner k of face f
                                   at n f + k for face size n, at face_start[f] + k for any
                                   sizes): the zero-based texture coordinate of the corner */

    /* Materials (read and carried with the option materials), null without. */
    int32_t* face_material;     /* n_faces entries: the material of each face, an index into
                                   the names, or -1 for none */
    char* material_names;       /* n_materials names as the file's usemtl statements wrote
                                   them, each ended by a NUL, in the order of first use */
    uint64_t n_materials;
    char* material_library;     /* the name the file's last mtllib statement wrote, or null */

    /* Sharp features (read from the OBJ file's t tags), 0 and null without:
     * edges and vertices of a sharpness s, 0 smooth, 10 or more infinitely
     * sharp, between semi-sharp (sharp for s levels, then smooth). The
     * boundary's edges are infinitely sharp without being named here. */
    uint64_t n_creases;         /* sharp edges named */
    uint64_t* crease_vertices;  /* 2 n_creases entries: the zero-based ends of each, an edge of a face */
    float* crease_sharpness;    /* n_creases entries: the sharpness of each */
    float* vertex_sharpness;    /* n_vertices entries: the sharpness of each vertex, or null for none */
    int64_t boundary_corners;   /* what the input asks for the boundary's corners (the OBJ
                                   interpolateboundary tag): subdiv_corners_sharp (0, also
                                   without one) or subdiv_corners_smooth; options whose corners
                                   are subdiv_corners_auto follow it */

    /* Normals (made by a refinement with the option normals), null without:
     * the unit normal of the limit surface at each vertex. The reader never
     * fills them; the writers write them when all three are there. */
    float* normal_x;            /* n_vertices entries: x of each vertex's normal */
    float* normal_y;
    float* normal_z;
} subdiv_geom;

/* ---------------------------------------------------------------- results */

/* What a function of the library returns: subdiv_ok or one of the failures
 * below. */
typedef int32_t subdiv_status;
enum {
    subdiv_ok = 0,
    subdiv_error_read = 1,   /* an input file cannot be read */
    subdiv_error_syntax = 2, /* a file that does not read as a mesh: OBJ text with a bad number,
                                index or face; PLY with a bad header, count, value or index,
                                truncated or with data after its end */
    subdiv_error_mesh = 3,   /* faces that do not form a surface the schemes refine */
    subdiv_error_limit = 4,  /* counts beyond what the formats or this machine's memory hold */
    subdiv_error_write = 5,  /* the output cannot be written */
    subdiv_error_usage = 6,  /* an argument or option that does not fit the input */
    subdiv_error_memory = 7  /* the system refused memory the job asked for */
};

/* What went wrong, for the caller to report: the message in the tool's
 * wording, and the places it names. The message names the file when the
 * function that failed was given one (the reader and the writer are; the
 * refinement of a record is not). A refusal of memory is "out of memory:
 * cannot allocate N bytes", after the file's name from the reader only. New
 * fields are only ever added at the end. */
typedef struct subdiv_error {
    subdiv_status status; /* as returned */
    uint64_t line;        /* line of the OBJ text or of the PLY header, counted from 1; 0 when
                             none */
    uint64_t face;        /* face, counted from 1 in file order; 0 when none */
    uint64_t vertices[4]; /* vertices named, counted from 1; 0 in unused entries */
    char message[512];    /* one line, no final newline, e.g. "in.obj: line 7: ..." */
    int32_t system_errno; /* subdiv_error_read or _write of a file the system refused to
                             open, read or write: the system's errno (e.g. ENOENT); else 0 */
} subdiv_error;

/* ---------------------------------------------------------------- options */

/* Called after each iteration with its number (from 1) and the vertex counts
 * before and after it. */
typedef void (*subdiv_progress_fn)(void* context, int32_t iteration, uint64_t vertices_before,
                                   uint64_t vertices_after);

/* Called while the last level of a refinement is written to a file as it is
 * made (subdiv_refine_to_file, subdiv_refine_to_obj), on the calling thread
 * only: after each block of the file that this thread wrote, and once when
 * the file is whole, with the blocks written of the file's blocks_total
 * (blocks_done / blocks_total is the share written) and the bytes written. */
typedef void (*subdiv_write_progress_fn)(void* context, uint64_t blocks_done,
                                         uint64_t blocks_total, uint64_t bytes_written);

/* Called with a warning: something in the input that the job passes over, in
 * the tool's wording, e.g. "in.obj: line 2: cannot read the material library ...". */
typedef void (*subdiv_warning_fn)(void* context, const char* message);

/* What becomes of the corners of an open mesh's boundary (subdiv_corners_*).
 * A boundary vertex is a corner where a number of boundary edges other than
 * two meet (two open fans touching) or, when corners are sharp, where it
 * lies on one face only. A corner keeps its position; every other boundary
 * vertex follows the boundary curve. */
typedef int32_t subdiv_corners;
enum {
    subdiv_corners_sharp = 0,  /* a vertex on one face keeps its position */
    subdiv_corners_smooth = 1, /* a vertex on one face and two boundary edges is no corner */
    subdiv_corners_auto = 2    /* the default: as the input asks (subdiv_geom.boundary_corners) */
};

/* The subdivision scheme of a refinement (subdiv_scheme_*). */
typedef int32_t subdiv_scheme;
enum {
    subdiv_scheme_auto = 0,         /* Loop for a mesh of triangles only, else Catmull-Clark */
    subdiv_scheme_loop = 1,         /* triangles only */
    subdiv_scheme_catmull_clark = 2 /* any faces; after one step all are quads */
};

/* Called once the refinement has checked its input and chosen the scheme,
 * before the first iteration: the scheme (never auto) and the count. */
typedef void (*subdiv_start_fn)(void* context, subdiv_scheme scheme, int32_t iterations);

/* Catmull-Clark's vertex rule (subdiv_vertex_rule_*): V' = ((k - 2) / k) P +
 * (1 / k^2) S for a vertex of valence k, S the sum of the face points of its
 * faces and of either the edge points of its edges or (classic) the other
 * ends of its edges. Loop's rule is one. */
typedef int32_t subdiv_vertex_rule;
enum {
    subdiv_vertex_rule_edge_points = 0, /* the default: the new edge points */
    subdiv_vertex_rule_classic = 1      /* the old neighbours, as Catmull and Clark's paper */
};

/* What becomes of the faces' texture coordinates (subdiv_uv_*, the option
 * uv). The modes differ only at seam vertices: the ends of a seam edge (an
 * edge whose two faces give other texture coordinates at either end), in
 * linear and boundaries every boundary vertex, and in the three corners
 * modes with smooth corners a boundary vertex on one face. Every other
 * coordinate follows the geometry's rules (sharpness and vertex rule
 * included) but in linear, where it is copied and edges take midpoints. A
 * seam edge's point has a value per side, each its side's midpoint. At a
 * seam vertex, each run of faces round it with one coordinate is kept or
 * follows the seam as a crease, by the mode; README's texture section has
 * the whole table. */
typedef int32_t subdiv_uv_mode;
enum {
    subdiv_uv_none = 0,              /* read and refine no texture coordinates (the default) */
    subdiv_uv_linear = 1,            /* corners copied, edge and face points means (--uv) */
    subdiv_uv_boundaries = 2,        /* smooth inside; seams and the mesh boundary linear */
    subdiv_uv_corners_concave = 3,   /* seams smooth; kept at junctions, darts, concave corners */
    subdiv_uv_corners_junctions = 4, /* seams smooth; kept where three or more regions meet */
    subdiv_uv_corners = 5,           /* seams smooth; kept at corners of sharpness 10 */
    subdiv_uv_smooth = 6             /* as corners, and a region's corner on one face smooth too */
};

/* How coordinates are written (subdiv_precision_*). */
typedef int32_t subdiv_precision;
enum {
    subdiv_precision_6 = 0,       /* six decimals, as printf's "%f" (the default) */
    subdiv_precision_shortest = 1 /* the fewest digits that read back to the same float */
};

/* The format a mesh is written in (subdiv_format_*). Reading tells the
 * format by the content: a file whose first line is "ply" is PLY. */
typedef int32_t subdiv_format;
enum {
    subdiv_format_auto = 0,     /* by the output's name: PLY for a name ending in ".ply" (in
                                   any case), else OBJ (standard output too); the default */
    subdiv_format_obj = 1,      /* OBJ text */
    subdiv_format_ply = 2,      /* binary_little_endian PLY */
    subdiv_format_ply_ascii = 3 /* ascii PLY, numbers as the OBJ text writes them */
};

/* How a job runs. Set up with subdiv_options_init, then change fields. New
 * fields are only ever added at the end: the library reads those that the
 * size a caller's subdiv_options_init wrote covers, and takes the defaults
 * for the rest, so a caller built against an older header keeps working. */
typedef struct subdiv_options {
    size_t size;                 /* bytes of the record as the caller knows it; set by
                                    subdiv_options_init, not to be changed */
    subdiv_progress_fn progress; /* null: no progress reports */
    subdiv_warning_fn warning;   /* null: warnings are dropped */
    subdiv_start_fn start;       /* null: the scheme is not reported */
    void* context;               /* passed to every callback */
    subdiv_corners corners;      /* the corners of open meshes (--corners) */
    subdiv_scheme scheme;        /* the scheme (--scheme) */
    subdiv_uv_mode uv;           /* read and refine texture coordinates (--uv=MODE); any
                                    other value than subdiv_uv_none reads them */
    int32_t materials;           /* read and carry the faces' materials (--materials) */
    subdiv_precision precision;  /* how coordinates are written (--precision) */
    int32_t threads;             /* threads a job runs on (--threads); 0: as many as the
                                    process may use. The results do not depend on it */
    double crease_angle;         /* --crease-angle: an interior edge whose faces' normals
                                    differ by more than this many degrees (0 < angle < 180)
                                    becomes infinitely sharp; 0: none */
    subdiv_vertex_rule vertex_rule; /* Catmull-Clark's vertex rule (--vertex-rule) */
    subdiv_format format;        /* the format subdiv_write and subdiv_refine_to_file
                                    write (--format); reading ignores it */
    int32_t limit;               /* --limit: the last level's vertices at their limit
                                    positions, where endless iterations would take them */
    int32_t normals;             /* --normals: the limit surface's unit normal at each vertex
                                    of the last level, with or without limit */
    subdiv_write_progress_fn write_progress; /* null: the writing of the last level is
                                                not reported */
} subdiv_options;

/* Fills *options with the defaults: no callbacks, the corners the input
 * asks for (else sharp), the scheme of the faces, no texture coordinates, no
 * materials, six decimals, every core the process may use, no crease angle,
 * the edge-points vertex rule, the output format by the file's name, the
 * last level's own positions and no normals; and its size. */
SUBDIV_API void subdiv_options_init(subdiv_options* options);

/* ---------------------------------------------------------------- records */

/* The library's version, e.g. "0.3.0". */
SUBDIV_API const char* subdiv_version(void);

/* Gives *g (cleared first; what it held is overwritten, not released) arrays
 * of the library's allocator for a mesh the caller fills: x, y and z of
 * n_vertices entries; for face_size 3 or 4, corner0 to corner2 (and corner3
 * for 4) of n_faces entries; for face_size 0, face_start of n_faces + 1 and
 * corners of n_corners entries; when n_texcoords is not 0, tex_u and tex_v of
 * n_texcoords entries and corner_texcoord of an entry per face corner. Sets
 * the counts and flags; the contents are the caller's to fill. Returns
 * subdiv_ok, or with *error filled and *g cleared: subdiv_error_usage (a face
 * size other than 0, 3 or 4) or subdiv_error_memory. */
SUBDIV_API subdiv_status subdiv_geom_alloc(subdiv_geom* g, uint64_t n_vertices, uint64_t n_faces,
                                           int32_t face_size, uint64_t n_corners,
                                           uint64_t n_texcoords, subdiv_error* error);

/* Gives *g, whose n_vertices is set, arrays of the library's allocator for
 * normals that the caller fills: normal_x, normal_y and normal_z of
 * n_vertices entries each (what they held is overwritten, not released).
 * Returns subdiv_ok, or subdiv_error_memory with *error filled and the three
 * left null. */
SUBDIV_API subdiv_status subdiv_geom_alloc_normals(subdiv_geom* g, subdiv_error* error);

/* Releases the arrays of *g and clears it. Null, or a cleared record, is harmless. */
SUBDIV_API void subdiv_geom_free(subdiv_geom* g);

/* ---------------------------------------------------------------- reading, refining, writing */

/* Reads the OBJ file at path ("-": standard input) into *g, which is cleared
 * first (what it held is overwritten, not released): the positions, and the
 * vertex of every face corner, in corner0 to corner3 when all faces are
 * triangles or all are quads, else in face_start and corners; with the
 * option uv the texture coordinates of the corners (none, with a warning,
 * when no face gives them), with the option materials the faces' materials.
 * A material library that the file names is looked up in the file's folder.
 * Every vertex index (and with the option uv every texture coordinate index)
 * must name one defined before its face; a normal index, or without uv a
 * texture coordinate index, that names nothing is passed over with one
 * warning per file. options may be null (defaults). Returns subdiv_ok, or a
 * failure with *error filled (when error is not null) and *g cleared:
 * subdiv_error_read, _syntax, _mesh (no faces, a face of fewer than three
 * corners, with uv faces that mix corners with and without texture
 * coordinates), _limit or _memory. */
SUBDIV_API subdiv_status subdiv_obj_read(const char* path, const subdiv_options* options,
                                         subdiv_geom* g, subdiv_error* error);

/* As subdiv_obj_read, from the length bytes of OBJ text at text (no NUL
 * needed), naming the text name in messages and looking up material
 * libraries in folder (null or "" for the current one). */
SUBDIV_API subdiv_status subdiv_obj_read_text(const char* name, const char* text,
                                              uint64_t length, const char* folder,
                                              const subdiv_options* options, subdiv_geom* g,
                                              subdiv_error* error);

/* Reads the mesh file at path ("-": standard input) into *g as
 * subdiv_obj_read does, in the format its content shows: PLY when the first
 * line is "ply", else OBJ. PLY may be ascii, binary_little_endian or
 * binary_big_endian. Its element vertex gives the positions (properties x,
 * y and z of any scalar type), its element face the corners (the list
 * vertex_indices, or vertex_index, of any integer types); with the option
 * uv the texture coordinates come from the face list texcoord (u v for each
 * corner; corners with the same vertex and the same bits of u and v share
 * one coordinate, so that faces that agree at a vertex share it) or else
 * from the vertex properties s t, u v or texture_u texture_v; all other
 * properties and elements are skipped. Messages on PLY name the file, the
 * element and its record counted from 1 ("in.ply: face 12: vertex index
 * 900 is out of range (the file has 500 vertices)"); the element counts are
 * checked against the file's size before anything is allocated. Returns as
 * subdiv_obj_read does; for PLY subdiv_error_syntax covers a header that
 * does not read, counts the file cannot hold, truncated data or data after
 * the last element, a vertex index out of range, a value that is no finite
 * float and a face of more than 15 corners. */
SUBDIV_API subdiv_status subdiv_read(const char* path, const subdiv_options* options,
                                     subdiv_geom* g, subdiv_error* error);

/* As subdiv_read, from the length bytes at text (which may hold NULs),
 * naming name in messages and looking up an OBJ text's material libraries
 * in folder (null or "" for the current one). */
SUBDIV_API subdiv_status subdiv_read_text(const char* name, const char* text, uint64_t length,
                                          const char* folder, const subdiv_options* options,
                                          subdiv_geom* g, subdiv_error* error);

/* Refines *input iterations times with the scheme of the options (by
 * default Loop for a mesh of triangles, Catmull-Clark for any other) into
 * *output, which is cleared first and owns the result (new arrays, also for
 * 0 iterations). Texture coordinates of the input are refined per face
 * (linearly: a corner keeps its coordinate, an edge point takes the mean of
 * its side's two, a face point the mean of its face's), and each face's
 * material passes to its children. *input is only read; the two must not be
 * the same record. The surface may be open: edges on one face follow the
 * boundary rules. The faces are checked first, whatever the count. options
 * may be null. Returns subdiv_ok, or with *error filled and *output cleared:
 * subdiv_error_mesh (faces that do not form a consistently oriented surface,
 * an edge on more than two faces: the message names the faces and
 * vertices), subdiv_error_limit (a result beyond 2^64 elements or the
 * memory this process may use), subdiv_error_memory (memory the system
 * refused on the way) or subdiv_error_usage (a negative count, Loop for a
 * face that is not a triangle). */
SUBDIV_API subdiv_status subdiv_refine(const subdiv_geom* input, int32_t iterations,
                                       const subdiv_options* options, subdiv_geom* output,
                                       subdiv_error* error);

/* Refines *input as subdiv_refine does and writes the result to path as
 * subdiv_obj_write does, byte for byte, without ever holding the result
 * whole: the last iteration is computed a block at a time as its text is
 * written, and each level is released as soon as nothing reads it. Takes
 * over *input: its arrays go as soon as nothing reads them, and *input is
 * cleared on return, whatever the status. Fills *n_vertices and *n_faces
 * (when not null) with the counts written. Returns as subdiv_refine does, or
 * subdiv_error_write as subdiv_obj_write does; on failure no file is created
 * or changed. */
SUBDIV_API subdiv_status subdiv_refine_to_obj(subdiv_geom* input, int32_t iterations,
                                              const subdiv_options* options, const char* path,
                                              uint64_t* n_vertices, uint64_t* n_faces,
                                              subdiv_error* error);

/* As subdiv_refine_to_obj, in the format of the options (format: by the
 * name of path for subdiv_format_auto), the PLY as subdiv_write writes it,
 * byte for byte. Returns as subdiv_refine_to_obj does, and
 * subdiv_error_usage for a format that is none of subdiv_format_*, or
 * subdiv_error_limit for PLY of more vertices than 32-bit indices number. */
SUBDIV_API subdiv_status subdiv_refine_to_file(subdiv_geom* input, int32_t iterations,
                                               const subdiv_options* options, const char* path,
                                               uint64_t* n_vertices, uint64_t* n_faces,
                                               subdiv_error* error);

/* A refined mesh as flat arrays, for callers that hold meshes as arrays
 * (numpy, other libraries): the blocks belong to the library and
 * subdiv_arrays_free releases them. New fields are only ever added at the
 * end; on x86-64 and other LP64 systems the fields lie at byte offsets 0
 * (positions), 8 (corners), 16 (face_start), 24 (n_vertices), 32 (n_faces),
 * 40 (face_size), 48 (texcoords), 56 (corner_texcoords), 64 (n_texcoords)
 * and 72 (normals), 80 bytes in all. */
typedef struct subdiv_arrays {
    float* positions;     /* 3 n_vertices floats: x y z of each vertex */
    uint64_t* corners;    /* the zero-based vertex of each face corner, face by face: face_size
                             per face, or face_start[n_faces] for faces of any sizes */
    uint64_t* face_start; /* faces of any sizes (face_size 0): n_faces + 1 offsets into
                             corners; else null */
    uint64_t n_vertices;
    uint64_t n_faces;
    int32_t face_size;    /* 3 or 4 (always after an iteration), or 0 for faces of any sizes */

    /* Texture coordinates, when the input has them (else null and 0). */
    float* texcoords;            /* 2 n_texcoords floats: u v of each texture coordinate */
    uint64_t* corner_texcoords;  /* an entry per entry of corners: the zero-based texture
                                    coordinate of that face corner */
    uint64_t n_texcoords;

    /* Normals, with the option normals (else null). */
    float* normals;              /* 3 n_vertices floats: the unit normal of each vertex */
} subdiv_arrays;

/* Refines *input as subdiv_refine_to_obj does, its last iteration gathered
 * block by block into *output (cleared first) instead of a file: positions,
 * faces, when *input has them texture coordinates, and with the option
 * normals the normals (materials are not gathered). Takes over *input as subdiv_refine_to_obj does. Returns as
 * subdiv_refine does; *output holds nothing on failure. */
SUBDIV_API subdiv_status subdiv_refine_arrays(subdiv_geom* input, int32_t iterations,
                                              const subdiv_options* options,
                                              subdiv_arrays* output, subdiv_error* error);

/* Releases the blocks of *arrays and clears it. Null, or a cleared record, is harmless. */
SUBDIV_API void subdiv_arrays_free(subdiv_arrays* arrays);

/* Writes *g as OBJ text to path ("-": standard output): "# Vertices n", one
 * "v x y z" line per vertex with six decimals, an empty line, "# Triangles n",
 * one "f" line per face with 1-based indices, whatever the face sizes. When
 * *g has texture coordinates, "# Texture coordinates n" and a "vt u v" line
 * each follow the vertices, and faces are written "f v/vt ..."; when it has
 * materials, "mtllib NAME" comes first and "usemtl NAME" before each run of
 * faces of one material. The option precision writes every coordinate with
 * the fewest digits that read back to the same float instead. A regular
 * file is replaced whole through a temporary file in its folder, so a
 * failure leaves the old file (or none). Returns subdiv_ok, or
 * subdiv_error_write or subdiv_error_memory with *error filled. */
SUBDIV_API subdiv_status subdiv_obj_write(const char* path, const subdiv_geom* g,
                                          const subdiv_options* options, subdiv_error* error);

/* Writes *g to path ("-": standard output) in the format of the options
 * (subdiv_format_auto: PLY for a name ending in ".ply", else OBJ). OBJ as
 * subdiv_obj_write writes it; PLY as "ply", "format binary_little_endian
 * 1.0" (or "ascii 1.0"), "comment written by subdiv VERSION", "element
 * vertex N" with "property float x", y and z, "element face F" with
 * "property list uchar int vertex_indices" (uint past 2^31 vertices) and,
 * when *g has texture coordinates, "property list uchar float texcoord"
 * giving u v for each corner, then "end_header" and the records (ascii:
 * one line each, numbers as the OBJ text writes them with the option
 * precision). The file is replaced whole, as by subdiv_obj_write. Returns
 * subdiv_ok, or with *error filled: subdiv_error_write, subdiv_error_memory,
 * subdiv_error_usage (a format that is none of subdiv_format_*) or
 * subdiv_error_limit (PLY of more than 2^32 vertices). */
SUBDIV_API subdiv_status subdiv_write(const char* path, const subdiv_geom* g,
                                      const subdiv_options* options, subdiv_error* error);

#ifdef __cplusplus
}
#endif

#endif /* SUBDIV_SUBDIV_H */

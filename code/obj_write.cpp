// OBJ writer.
//
// The text is formatted here, without printf, into one storage block that is
// handed to the system in blocks of a mebibyte. Coordinates print exactly as
// printf's "%f" prints a float widened to double: the float's value times 10^6
// is an exact binary fraction, rounded to an integer with integer arithmetic,
// ties to even (glibc's rounding in the default rounding mode).
//
// A regular file is never truncated in place: the text goes to a temporary
// file in the same folder, which replaces the path by a rename once every
// byte is written and the file is closed, so a failed write leaves the old
// file (or nothing) behind, never a partial one.
#include "obj_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "check.h"
#include "error.h"
#include "float_text.h"
#include "geom.h"
#include "storage.h"

// ---------------------------------------------------------------- numbers

// "00" "01" ... "99": two decimal digits per lookup.
static const char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits of v (1 for 0).
static inline int decimal_length(uint64_t v)
{
    int n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

// Writes the decimal digits of v to out; returns their count (at most 20).
static inline int format_u64(uint64_t v, char* out)
{
    int length = decimal_length(v);
    char* p = out + length;
    while (v >= 100) {
        uint64_t rest = v / 100;
        p -= 2;
        std::memcpy(p, digit_pairs + 2 * (v - rest * 100), 2);
        v = rest;
    }
    if (v >= 10) {
        p -= 2;
        std::memcpy(p, digit_pairs + 2 * v, 2);
    } else {
        *--p = char('0' + v);
    }
    return length;
}

// The eight decimal digits of v < 10^8, leading zeros included, one digit
// value (0-9) per byte, the first digit in the lowest byte: both four-digit
// halves, then their two-digit quarters, then the single digits are split in
// parallel lanes of one 64-bit word. x * 5243 >> 19 is x / 100 for x < 10^4,
// and x * 103 >> 10 is x / 10 for x < 100.
static inline uint64_t eight_digits(uint64_t v)
{
    uint64_t halves = (v / 10000) | ((v % 10000) << 32);
    uint64_t high = ((halves * 5243) >> 19) & 0x0000007F0000007Full;
    uint64_t quarters = high | ((halves - high * 100) << 16);
    uint64_t tens = ((quarters * 103) >> 10) & 0x000F000F000F000Full;
    return tens | ((quarters - tens * 10) << 8);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the digit words are stored with their lowest byte first");

static const uint64_t ascii_zeros = 0x3030303030303030ull;

// Writes v < 10^8 without leading zeros; returns the length. Always stores
// eight bytes: those past the length are scratch that later text overwrites.
static inline int format_below_1e8(uint64_t v, char* out)
{
    uint64_t digits = eight_digits(v);
    // the leading zero digits are the zero bytes at the low end; 0 keeps one
    int zeros = __builtin_ctzll(digits | (uint64_t(1) << 56)) / 8;
    digits = (digits + ascii_zeros) >> (8 * zeros);
    std::memcpy(out, &digits, 8);
    return 8 - zeros;
}

// Writes v as printf's "%lld" does; returns the length (at most 20). May
// store up to eight bytes from out whatever the length.
static inline int format_i64(int64_t v, char* out)
{
    if (uint64_t(v) < 100000000) return format_below_1e8(uint64_t(v), out);
    if (v >= 0) return format_u64(uint64_t(v), out);
    *out = '-';
    return 1 + format_u64(0 - uint64_t(v), out + 1);
}

// Writes the decimal digits of v (below 2^128: at most 39 digits); returns
// their count. Only integers of 2^64 and above take the slow digit loop.
static int format_u128(unsigned __int128 v, char* out)
{
    if (uint64_t(v >> 64) == 0) return format_u64(uint64_t(v), out);
    char digits[40];
    char* p = digits + sizeof digits;
    while (v != 0) {
        *--p = char('0' + unsigned(v % 10));
        v /= 10;
    }
    int length = int(digits + sizeof digits - p);
    std::memcpy(out, p, size_t(length));
    return length;
}

// format_f6 for the writer's loops, inlined there. Stores up to eight bytes
// past the returned length.
static inline int format_float(float value, char* out)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // glibc signs -0, -nan and negatives that round to 0
    *out = '-';
    char* p = out + (bits >> 31);
    uint32_t biased = (bits >> 23) & 0xFF;
    uint32_t mantissa = bits & 0x7FFFFF;
    if (biased == 0xFF) {
        std::memcpy(p, mantissa ? "nan" : "inf", 3);
        return int(p + 3 - out);
    }

    // |value| = m * 2^e exactly, m below 2^24
    uint64_t m = biased ? (mantissa | 0x800000) : mantissa;
    int e = biased ? int(biased) - 150 : -149;
    if (e >= 0) {
        // a whole number, up to 39 digits for the largest floats
        p += format_u128((unsigned __int128)m << e, p);
        std::memcpy(p, ".000000", 7);
        return int(p + 7 - out);
    }

    // |value| * 10^6 = scaled / 2^shift, rounded to the nearest integer with
    // ties to even by adding half - 1, plus 1 when the quotient is odd, before
    // the shift. scaled is below 2^44, so every shift from 46 on gives 0: a
    // shift beyond 63 is taken as 63.
    int shift = -e < 63 ? -e : 63;
    uint64_t scaled = m * 1000000;
    uint64_t odd = (scaled >> shift) & 1;
    uint64_t micros = (scaled + (uint64_t(1) << (shift - 1)) - 1 + odd) >> shift;

    // whole part (at most 2^23, seven digits), then the point and the six
    // decimals in one eight-byte store: "." d1..d6 and a scratch zero byte
    uint64_t whole = micros / 1000000;
    uint64_t decimals = micros - whole * 1000000;
    if (whole < 10) // the common case of coordinates near the origin
        *p++ = char('0' + whole);
    else
        p += format_below_1e8(whole, p);
    uint64_t point_decimals = ((eight_digits(decimals) + ascii_zeros) >> 16 << 8) | '.';
    std::memcpy(p, &point_decimals, 8);
    return int(p + 7 - out);
}

int format_f6(float value, char* out)
{
    char text[56];
    int length = format_float(value, text);
    std::memcpy(out, text, size_t(length));
    return length;
}

// ---------------------------------------------------------------- output

// Bytes handed to the system at a time, and the room kept free for one more
// line: the longest lines are a face line of 15 corners of two 20-digit
// indices and a vertex line of three 47-character numbers.
static const uint64_t block_size = uint64_t(1) << 20;
static const uint64_t line_room = 1024;

// Writes n bytes to fd, resuming after partial writes and interrupted calls.
// Returns 0, or the errno of the write that failed.
static int write_all(int fd, const char* bytes, uint64_t n)
{
    while (n > 0) {
        ssize_t written = write(fd, bytes, n);
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

// The text being written: a block filled line by line and handed to the
// system whenever less than a line's room is left.
struct text_sink {
    int fd;
    char* block;
    char* full; // past this a line may not fit
    char* p;    // where the next byte goes
    int error;  // the errno of the first write that failed; nothing is written after it
};

// Hands the block to the system when it is full; false once a write failed.
static inline bool sink_room(text_sink* s)
{
    if (s->p < s->full) return true;
    if (!s->error) s->error = write_all(s->fd, s->block, uint64_t(s->p - s->block));
    s->p = s->block;
    return s->error == 0;
}

// Appends n bytes of text (short: a header or a name).
static inline void sink_text(text_sink* s, const char* text, uint64_t n)
{
    while (n > 0 && sink_room(s)) {
        const uint64_t room = uint64_t(s->full - s->p) + 1;
        const uint64_t take = n < room ? n : room;
        std::memcpy(s->p, text, take);
        s->p += take;
        text += take;
        n -= take;
    }
}

// A comment header "\n# Title n\n" (no empty line first when first is set).
static void sink_header(text_sink* s, const char* title, uint64_t n, bool first)
{
    if (!sink_room(s)) return;
    if (!first) *s->p++ = '\n';
    *s->p++ = '#';
    *s->p++ = ' ';
    sink_text(s, title, std::strlen(title));
    if (!sink_room(s)) return;
    *s->p++ = ' ';
    s->p += format_i64(int64_t(n), s->p);
    *s->p++ = '\n';
}

// The vertex lines "v x y z", or with uv the texture lines "vt u v", from
// the n entries of the axes (two or three).
static void sink_points(text_sink* s, const char* keyword, const float* const* axes, int n_axes,
                        uint64_t n, int (*format)(float, char*))
{
    const uint64_t keyword_length = std::strlen(keyword);
    for (uint64_t i = 0; i < n && sink_room(s); ++i) {
        std::memcpy(s->p, keyword, keyword_length);
        s->p += keyword_length;
        for (int a = 0; a < n_axes; ++a) {
            *s->p++ = ' ';
            s->p += format(axes[a][i], s->p);
        }
        *s->p++ = '\n';
    }
}

// Each material's name: where it starts in the names block.
static const char** material_name_table(const geom* g)
{
    auto** names = static_cast<const char**>(mem_alloc((g->n_materials + 1) * sizeof(char*)));
    const char* name = g->material_names;
    for (uint64_t m = 0; m < g->n_materials; ++m) {
        names[m] = name;
        name += std::strlen(name) + 1;
    }
    return names;
}

// The face lines of any faces, with texture coordinates "v/vt" when *g has
// them and a "usemtl NAME" line before each run of faces of one material
// when it has materials.
static void sink_faces(text_sink* s, const geom* g)
{
    const int n = geom_face_size(g);
    const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
    const uint64_t* const texcoord = g->corner_texcoord;
    const char** names = g->face_material ? material_name_table(g) : nullptr;
    int32_t material = -1;
    for (uint64_t f = 0; f < g->n_faces && sink_room(s); ++f) {
        if (names && g->face_material[f] != material && g->face_material[f] >= 0) {
            material = g->face_material[f];
            sink_text(s, "usemtl ", 7);
            sink_text(s, names[material], std::strlen(names[material]));
            sink_text(s, "\n", 1);
            if (!sink_room(s)) break;
        }
        const uint64_t first = n ? uint64_t(n) * f : g->face_start[f];
        const uint64_t count = n ? uint64_t(n) : g->face_start[f + 1] - first;
        *s->p++ = 'f';
        for (uint64_t k = 0; k < count; ++k) {
            *s->p++ = ' ';
            const uint64_t v = n ? corner[k][f] : g->corners[first + k];
            s->p += format_i64(int64_t(v + 1), s->p);
            if (texcoord) {
                *s->p++ = '/';
                s->p += format_i64(int64_t(texcoord[first + k] + 1), s->p);
            }
        }
        *s->p++ = '\n';
    }
    mem_free(names);
}

// The faces of size 3 or 4 without texture coordinates or materials, the
// common case, one unrolled line at a time.
static void sink_uniform_faces(text_sink* s, const geom* g)
{
    // the record's fields in locals: stores into the text may alias anything
    const uint64_t* const corner0 = g->corner0;
    const uint64_t* const corner1 = g->corner1;
    const uint64_t* const corner2 = g->corner2;
    const uint64_t* const corner3 = g->corner3;
    const uint64_t n_faces = g->n_faces;
    const bool quads = geom_face_size(g) == 4;
    char* p = s->p;
    for (uint64_t i = 0; i < n_faces; ++i) {
        if (p >= s->full) {
            s->p = p;
            if (!sink_room(s)) return;
            p = s->p;
        }
        p[0] = 'f';
        p[1] = ' ';
        p += 2;
        p += format_i64(int64_t(corner0[i] + 1), p);
        *p++ = ' ';
        p += format_i64(int64_t(corner1[i] + 1), p);
        *p++ = ' ';
        p += format_i64(int64_t(corner2[i] + 1), p);
        if (quads) { // any other face size but 0 writes triangles
            *p++ = ' ';
            p += format_i64(int64_t(corner3[i] + 1), p);
        }
        *p++ = '\n';
    }
    s->p = p;
}

// The vertex lines with six decimals, the common case, inlined.
static void sink_vertices_f6(text_sink* s, const geom* g)
{
    const float* const x = g->x;
    const float* const y = g->y;
    const float* const z = g->z;
    const uint64_t n_vertices = g->n_vertices;
    char* p = s->p;
    for (uint64_t i = 0; i < n_vertices; ++i) {
        if (p >= s->full) {
            s->p = p;
            if (!sink_room(s)) return;
            p = s->p;
        }
        p[0] = 'v';
        p[1] = ' ';
        p += 2;
        p += format_float(x[i], p);
        *p++ = ' ';
        p += format_float(y[i], p);
        *p++ = ' ';
        p += format_float(z[i], p);
        *p++ = '\n';
    }
    s->p = p;
}

int obj_write_fd(int fd, const geom* g, const subdiv_options* options)
{
    const bool shortest = options && options->precision == subdiv_precision_shortest;
    int (*const format)(float, char*) = shortest ? format_shortest : format_f6;
    text_sink s = {fd, static_cast<char*>(mem_alloc(block_size)), nullptr, nullptr, 0};
    s.full = s.block + block_size - line_room;
    s.p = s.block;

    if (g->face_material && g->material_library) {
        sink_text(&s, "mtllib ", 7);
        sink_text(&s, g->material_library, std::strlen(g->material_library));
        sink_text(&s, "\n", 1);
    }
    sink_header(&s, "Vertices", g->n_vertices, true);
    const float* const positions[3] = {g->x, g->y, g->z};
    if (shortest)
        sink_points(&s, "v", positions, 3, g->n_vertices, format);
    else
        sink_vertices_f6(&s, g);
    if (g->tex_u) {
        sink_header(&s, "Texture coordinates", g->n_texcoords, false);
        const float* const texcoords[2] = {g->tex_u, g->tex_v};
        sink_points(&s, "vt", texcoords, 2, g->n_texcoords, format);
    }
    sink_header(&s, "Triangles", g->n_faces, false);
    if (geom_face_size(g) != 0 && !g->tex_u && !g->face_material)
        sink_uniform_faces(&s, g);
    else
        sink_faces(&s, g);

    if (!s.error) s.error = write_all(fd, s.block, uint64_t(s.p - s.block));
    mem_free(s.block);
    return s.error;
}

// Fills *error for a failed write of path with the system's reason.
static subdiv_status report_failure(const char* path, int reason, subdiv_error* error)
{
    return error_set(error, subdiv_error_write, {}, "cannot write '%s': %s", path,
                     std::strerror(reason));
}

// Writes g straight into what path names (a terminal, a pipe or a device).
// Returns 0 or an errno.
static int write_direct(const char* path, const geom* g, const subdiv_options* options)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int error = obj_write_fd(fd, g, options);
    if (close(fd) != 0 && !error) error = errno;
    return error;
}

// Writes g to a new temporary file in the folder of target and renames it
// over target. keep_mode is the mode of the regular file being replaced, or
// -1 for a new file, which gets the mode a plain create gives (0666 less the
// umask). The temporary file is removed on failure. Returns 0 or an errno.
static int write_replace(const char* target, int keep_mode, const geom* g,
                         const subdiv_options* options)
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
    if (!error) error = obj_write_fd(fd, g, options);
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

subdiv_status obj_write_path(const char* path, const geom* g, const subdiv_options* options,
                             subdiv_error* error)
{
    CHECK(path != nullptr && g != nullptr, "obj_write: no path or record");
    if (std::strcmp(path, "-") == 0) {
        const int reason = obj_write_fd(1, g, options);
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
        if (!S_ISREG(info.st_mode)) reason = write_direct(target, g, options);
        else reason = write_replace(target, int(info.st_mode & 07777), g, options);
    } else {
        reason = errno == ENOENT ? write_replace(target, -1, g, options) : errno;
    }
    return reason ? report_failure(path, reason, error) : subdiv_ok;
}

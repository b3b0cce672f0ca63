// The "t" statements of an OBJ text.
#include "obj_tags.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "error.h"
#include "obj_scan.h"
#include "parallel.h"
#include "sharpness.h"
#include "storage.h"

namespace subdiv {

namespace {

// The most tag names a file's warnings remember (one warning each).
constexpr int most_warned = 32;

// The tokens of one tag line, each [start, start + length): arrays of
// mem_alloc with room for `room` tokens, kept from line to line and grown
// for a line of more.
struct tag_tokens {
    const char** start;
    uint64_t* length;
    uint64_t count;
    uint64_t room;
};

// What a tag line reads as.
struct tag_reader {
    const char* name;
    const obj_tag_line* line;
    uint64_t n_vertices;
    const subdiv_options* options;
    subdiv_error* error;
    char warned[most_warned][32];
    int n_warned;
    // a reader of one range of the lines among several: it warns of nothing
    // and notes instead that a line would warn
    bool quiet;
    bool would_warn;
};

} // namespace

// Room for one more crease in *tags, whose arrays have room for *room:
// twice as much when they are full. Returns false, changing nothing, when
// the memory is refused.
static bool crease_room(obj_tag_set* tags, uint64_t* room)
{
    const uint64_t n = tags->n_creases;
    if (n < *room) return true;
    const uint64_t larger = *room ? 2 * *room : 16;
    auto* ends = static_cast<uint64_t*>(mem_alloc(16 * larger));
    auto* values = static_cast<float*>(mem_alloc(4 * larger));
    auto* lines = static_cast<uint64_t*>(mem_alloc(8 * larger));
    if (!ends || !values || !lines) {
        mem_free(ends);
        mem_free(values);
        mem_free(lines);
        return false;
    }
    if (n) {
        std::memcpy(ends, tags->crease_vertices, 16 * n);
        std::memcpy(values, tags->crease_sharpness, 4 * n);
        std::memcpy(lines, tags->crease_line, 8 * n);
    }
    mem_free(tags->crease_vertices);
    mem_free(tags->crease_sharpness);
    mem_free(tags->crease_line);
    tags->crease_vertices = ends;
    tags->crease_sharpness = values;
    tags->crease_line = lines;
    *room = larger;
    return true;
}

// The same for one more corner.
static bool corner_room(obj_tag_set* tags, uint64_t* room)
{
    const uint64_t n = tags->n_corners;
    if (n < *room) return true;
    const uint64_t larger = *room ? 2 * *room : 16;
    auto* vertices = static_cast<uint64_t*>(mem_alloc(8 * larger));
    auto* values = static_cast<float*>(mem_alloc(4 * larger));
    if (!vertices || !values) {
        mem_free(vertices);
        mem_free(values);
        return false;
    }
    if (n) {
        std::memcpy(vertices, tags->corner_vertices, 8 * n);
        std::memcpy(values, tags->corner_sharpness, 4 * n);
    }
    mem_free(tags->corner_vertices);
    mem_free(tags->corner_sharpness);
    tags->corner_vertices = vertices;
    tags->corner_sharpness = values;
    *room = larger;
    return true;
}

// Whether c ends a token of a tag line.
static inline bool tag_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits [p, end) into blank-separated tokens, into the arrays of *tokens,
// grown first when they might not hold them all (a line of L characters has
// at most (L + 1) / 2). Returns false, holding none, when memory is refused.
static bool tag_split(const char* p, const char* end, tag_tokens* tokens)
{
    const uint64_t most = (uint64_t(end - p) + 1) / 2;
    tokens->count = 0;
    if (most > tokens->room) {
        mem_release(&tokens->start);
        mem_release(&tokens->length);
        const uint64_t room = most < 64 ? 64 : most;
        tokens->start = static_cast<const char**>(mem_alloc(room * sizeof(const char*)));
        tokens->length = static_cast<uint64_t*>(mem_alloc(room * 8));
        tokens->room = room;
        if (!tokens->start || !tokens->length) {
            mem_release(&tokens->start);
            mem_release(&tokens->length);
            tokens->room = 0;
            return false;
        }
    }
    while (p < end) {
        while (p < end && tag_space(*p)) ++p;
        if (p >= end) break;
        const char* start = p;
        while (p < end && !tag_space(*p)) ++p;
        tokens->start[tokens->count] = start;
        tokens->length[tokens->count++] = uint64_t(p - start);
    }
    return true;
}

static void tag_tokens_free(tag_tokens* tokens)
{
    mem_release(&tokens->start);
    mem_release(&tokens->length);
    *tokens = tag_tokens{};
}

// A whole number of decimal digits only, below 2^63; false otherwise.
static bool tag_whole(const char* p, uint64_t n, uint64_t* out)
{
    if (n == 0 || n > 18) return false;
    uint64_t value = 0;
    for (uint64_t i = 0; i < n; ++i) {
        if (!is_digit(p[i])) return false;
        value = value * 10 + uint64_t(p[i] - '0');
    }
    *out = value;
    return true;
}

// The counts "a/b/c" of a tag.
static bool tag_counts(const char* p, uint64_t n, uint64_t counts[3])
{
    const char* end = p + n;
    for (int k = 0; k < 3; ++k) {
        const char* stop = p;
        while (stop < end && *stop != '/') ++stop;
        if (!tag_whole(p, uint64_t(stop - p), &counts[k])) return false;
        if (k < 2 && stop == end) return false;
        p = stop + 1;
    }
    return p == end + 1;
}

static subdiv_status tag_refuse(tag_reader* r, const char* format, const char* token,
                                uint64_t token_length)
{
    char shown[32];
    error_token(token, token_length, shown);
    char message[256];
    std::snprintf(message, sizeof message, format, shown);
    return error_set(r->error, subdiv_error_syntax, {r->line->line, 0, {}}, "%s: line %llu: %s",
                     r->name, (unsigned long long)r->line->line, message);
}

// Warns about the tag name once per file.
static void tag_warn_once(tag_reader* r, const char* tag, uint64_t n, const char* format)
{
    if (r->quiet) {
        r->would_warn = true;
        return;
    }
    char shown[32];
    error_token(tag, n, shown);
    for (int i = 0; i < r->n_warned; ++i)
        if (std::strcmp(r->warned[i], shown) == 0) return;
    if (r->n_warned < most_warned) std::strcpy(r->warned[r->n_warned++], shown);
    char message[256];
    std::snprintf(message, sizeof message, format, shown);
    warning_report(r->options, "%s: line %llu: %s", r->name, (unsigned long long)r->line->line,
                   message);
}

// A vertex index of a tag: a whole number below the file's vertex count.
static subdiv_status tag_vertex(tag_reader* r, const char* p, uint64_t n, uint64_t* vertex)
{
    uint64_t v = 0;
    if (!tag_whole(p, n, &v))
        return tag_refuse(r, "tag vertex '%s' is not a whole number from 0", p, n);
    if (v >= r->n_vertices) {
        char shown[32];
        error_token(p, n, shown);
        return error_set(r->error, subdiv_error_syntax, {r->line->line, 0, {}},
                         "%s: line %llu: tag vertex %s is not a vertex of the file, which has "
                         "%llu (tag vertices count from 0)",
                         r->name, (unsigned long long)r->line->line, shown,
                         (unsigned long long)r->n_vertices);
    }
    *vertex = v;
    return subdiv_ok;
}

// A sharpness: a decimal number that reads as a finite float from 0.
static subdiv_status tag_sharpness(tag_reader* r, const char* p, uint64_t n, float* s)
{
    double value = 0;
    if (!parse_number(p, p + n, &value) || !std::isfinite(float(value)) || float(value) < 0.0f)
        return tag_refuse(r, "sharpness '%s' is not a finite number from 0", p, n);
    *s = float(value) + 0.0f; // -0 reads as 0
    return subdiv_ok;
}

// The lists' room, as crease_room and corner_room keep it.
struct tag_rooms {
    uint64_t creases;
    uint64_t corners;
};

// Reads the tokens of one tag line (its tag name first) into *tags.
static subdiv_status tag_line_read(tag_reader* r, const tag_tokens* tokens, obj_tag_set* tags,
                                   tag_rooms* rooms)
{
    const uint64_t line = r->line->line;
    if (tokens->count == 0)
        return error_set(r->error, subdiv_error_syntax, {line, 0, {}},
                         "%s: line %llu: a 't' statement with no tag", r->name,
                         (unsigned long long)line);
    const char* tag = tokens->start[0];
    const uint64_t tag_length = tokens->length[0];
    auto is = [&](const char* word) {
        return tag_length == std::strlen(word) && std::strncmp(tag, word, tag_length) == 0;
    };
    const bool crease = is("crease"), corner = is("corner"), boundary = is("interpolateboundary");
    if (!crease && !corner && !boundary) {
        tag_warn_once(r, tag, tag_length, "the tag '%s' is not used; it is passed over");
        return subdiv_ok;
    }
    // the counts, and the values they announce
    uint64_t counts[3] = {0, 0, 0};
    const bool counted = tokens->count > 1 && tag_counts(tokens->start[1], tokens->length[1], counts);
    const bool shaped = counted && (crease ? counts[0] >= 2 && counts[1] == 1 && counts[2] == 0
                                    : corner ? counts[0] >= 1 && counts[2] == 0 &&
                                                   (counts[1] == 1 || counts[1] == counts[0])
                                             : counts[0] == 1 && counts[1] == 0 && counts[2] == 0);
    if (!shaped || tokens->count - 2 != counts[0] + counts[1]) {
        char shown[32];
        error_token(tag, tag_length, shown);
        const char* wanted = crease   ? "n/1/0 (n of 2 or more) and n vertices and a sharpness"
                             : corner ? "n/1/0 or n/n/0 and n vertices and 1 or n sharpness values"
                                      : "1/0/0 and one value";
        return error_set(r->error, subdiv_error_syntax, {line, 0, {}},
                         "%s: line %llu: 't %s' takes counts %s, which this line does not match",
                         r->name, (unsigned long long)line, shown, wanted);
    }
    const char* const* value = tokens->start + 2;
    const uint64_t* value_length = tokens->length + 2;
    if (boundary) {
        uint64_t k = 0;
        if (!tag_whole(value[0], value_length[0], &k))
            return tag_refuse(r, "interpolateboundary '%s' is not a whole number from 0",
                              value[0], value_length[0]);
        if (k == 0 && r->quiet)
            r->would_warn = true;
        else if (k == 0)
            warning_report(r->options,
                           "%s: line %llu: interpolateboundary 0 is taken as 1: the boundary's "
                           "corners stay sharp",
                           r->name, (unsigned long long)line);
        if (k > 2)
            tag_warn_once(r, tag, tag_length,
                          "the tag '%s' with a value above 2 is not used; it is passed over");
        else
            tags->boundary_corners = k == 2 ? subdiv_corners_smooth : subdiv_corners_sharp;
        return subdiv_ok;
    }
    const uint64_t n = counts[0];
    subdiv_status status = subdiv_ok;
    if (crease) {
        // each consecutive pair an edge of the one sharpness
        float s = 0;
        status = tag_sharpness(r, value[n], value_length[n], &s);
        for (uint64_t k = 0; k + 1 < n && status == subdiv_ok; ++k) {
            uint64_t a = 0, b = 0;
            status = tag_vertex(r, value[k], value_length[k], &a);
            if (status == subdiv_ok) status = tag_vertex(r, value[k + 1], value_length[k + 1], &b);
            if (status != subdiv_ok) break;
            if (!crease_room(tags, &rooms->creases))
                return error_memory_in(r->error, r->name, mem_refused_size());
            const uint64_t c = tags->n_creases;
            tags->crease_vertices[2 * c] = a;
            tags->crease_vertices[2 * c + 1] = b;
            tags->crease_sharpness[c] = s;
            tags->crease_line[c] = line;
            tags->n_creases = c + 1;
        }
        return status;
    }
    // a corner tag: one sharpness for all, or one each
    for (uint64_t k = 0; k < n && status == subdiv_ok; ++k) {
        uint64_t v = 0;
        float s = 0;
        status = tag_vertex(r, value[k], value_length[k], &v);
        const uint64_t at = counts[1] == 1 ? n : n + k;
        if (status == subdiv_ok) status = tag_sharpness(r, value[at], value_length[at], &s);
        if (status != subdiv_ok) break;
        if (!corner_room(tags, &rooms->corners))
            return error_memory_in(r->error, r->name, mem_refused_size());
        const uint64_t c = tags->n_corners;
        tags->corner_vertices[c] = v;
        tags->corner_sharpness[c] = s;
        tags->n_corners = c + 1;
    }
    return status;
}

// Reads lines [first, end) into *tags, cleared first, its boundary_corners
// `no_boundary` unless a line names them, through *r. Returns subdiv_ok, or
// the first line's failure (*tags then partly filled).
static subdiv_status tags_read_lines(tag_reader* r, const char* text, const obj_tag_line* lines,
                                     uint64_t first, uint64_t end, int64_t no_boundary,
                                     obj_tag_set* tags)
{
    *tags = obj_tag_set{};
    tags->boundary_corners = no_boundary;
    tag_rooms rooms = {0, 0};
    subdiv_status status = subdiv_ok;
    tag_tokens tokens = {};
    for (uint64_t i = first; i < end && status == subdiv_ok && !r->would_warn; ++i) {
        r->line = &lines[i];
        const char* p = text + lines[i].offset;
        skip_blanks(&p);
        p += 1; // the "t"
        if (!tag_split(p, text + lines[i].end, &tokens)) {
            status = error_memory_in(r->error, r->name, mem_refused_size());
            break;
        }
        status = tag_line_read(r, &tokens, tags, &rooms);
    }
    tag_tokens_free(&tokens);
    return status;
}

// The tag lines that a range of a parallel reading takes.
static const uint64_t tag_range_lines = 16384;

// Reads the lines in ranges on up to `threads` threads, each range into its
// own set, and joins the sets in order into *tags. Returns false, *tags
// empty, when a line would warn or fail or memory is refused: the lines are
// then read in order, which warns and fails as a reading in order does.
static bool tags_read_ranges(const char* name, const char* text, const obj_tag_line* lines,
                             uint64_t n_lines, uint64_t n_vertices, const subdiv_options* options,
                             uint32_t threads, obj_tag_set* tags)
{
    *tags = obj_tag_set{};
    const uint64_t n_ranges = (n_lines + tag_range_lines - 1) / tag_range_lines;
    auto* sets = static_cast<obj_tag_set*>(mem_alloc(n_ranges * sizeof(obj_tag_set)));
    auto* failed = static_cast<uint8_t*>(mem_alloc(n_ranges));
    const bool ran = sets && failed;
    bool whole = ran;
    if (ran) {
        parallel_ranges(threads, n_lines, tag_range_lines,
                        [&](uint64_t first, uint64_t end, uint64_t i, uint32_t) {
                            tag_reader r = {};
                            subdiv_error scratch = {};
                            r.name = name;
                            r.n_vertices = n_vertices;
                            r.options = options;
                            r.error = &scratch;
                            r.quiet = true;
                            // -1: the range names no boundary corners
                            const subdiv_status status =
                                tags_read_lines(&r, text, lines, first, end, -1, &sets[i]);
                            failed[i] = status != subdiv_ok || r.would_warn;
                        });
        for (uint64_t i = 0; i < n_ranges; ++i) whole = whole && !failed[i];
    }
    uint64_t creases = 0, corners = 0;
    for (uint64_t i = 0; whole && i < n_ranges; ++i) {
        creases += sets[i].n_creases;
        corners += sets[i].n_corners;
    }
    if (whole && creases) {
        tags->crease_vertices = static_cast<uint64_t*>(mem_alloc(16 * creases));
        tags->crease_sharpness = static_cast<float*>(mem_alloc(4 * creases));
        tags->crease_line = static_cast<uint64_t*>(mem_alloc(8 * creases));
        whole = tags->crease_vertices && tags->crease_sharpness && tags->crease_line;
    }
    if (whole && corners) {
        tags->corner_vertices = static_cast<uint64_t*>(mem_alloc(8 * corners));
        tags->corner_sharpness = static_cast<float*>(mem_alloc(4 * corners));
        whole = tags->corner_vertices && tags->corner_sharpness;
    }
    tags->boundary_corners = subdiv_corners_sharp;
    for (uint64_t i = 0; whole && i < n_ranges; ++i) {
        const obj_tag_set* part = &sets[i];
        if (part->boundary_corners >= 0) tags->boundary_corners = part->boundary_corners;
        if (part->n_creases) {
            std::memcpy(tags->crease_vertices + 2 * tags->n_creases, part->crease_vertices,
                        16 * part->n_creases);
            std::memcpy(tags->crease_sharpness + tags->n_creases, part->crease_sharpness,
                        4 * part->n_creases);
            std::memcpy(tags->crease_line + tags->n_creases, part->crease_line,
                        8 * part->n_creases);
            tags->n_creases += part->n_creases;
        }
        if (part->n_corners) {
            std::memcpy(tags->corner_vertices + tags->n_corners, part->corner_vertices,
                        8 * part->n_corners);
            std::memcpy(tags->corner_sharpness + tags->n_corners, part->corner_sharpness,
                        4 * part->n_corners);
            tags->n_corners += part->n_corners;
        }
    }
    for (uint64_t i = 0; ran && i < n_ranges; ++i) obj_tag_set_free(&sets[i]);
    mem_free(sets);
    mem_free(failed);
    if (!whole) obj_tag_set_free(tags);
    return whole;
}

subdiv_status obj_tags_parse(const char* name, const char* text, const obj_tag_line* lines,
                             uint64_t n_lines, uint64_t n_vertices,
                             const subdiv_options* options, uint32_t threads, obj_tag_set* tags,
                             subdiv_error* error)
{
    if (threads > 1 && n_lines > tag_range_lines &&
        tags_read_ranges(name, text, lines, n_lines, n_vertices, options, threads, tags))
        return subdiv_ok;
    tag_reader r = {};
    r.name = name;
    r.n_vertices = n_vertices;
    r.options = options;
    r.error = error;
    const subdiv_status status =
        tags_read_lines(&r, text, lines, 0, n_lines, subdiv_corners_sharp, tags);
    if (status != subdiv_ok) obj_tag_set_free(tags);
    return status;
}

subdiv_status obj_tags_apply(const char* name, obj_tag_set* tags, geom* g, uint32_t threads,
                             subdiv_error* error)
{
    subdiv_status status = subdiv_ok;
    g->boundary_corners = tags->boundary_corners;
    const uint64_t C = tags->n_creases;
    if (C > 0) {
        // every side of every face looked up among the creases
        crease_index index;
        auto* found = static_cast<uint8_t*>(mem_alloc(C));
        if (!found || !crease_index_build(&index, tags->crease_vertices, tags->crease_sharpness, C)) {
            mem_free(found);
            obj_tag_set_free(tags);
            return error_memory_in(error, name, mem_refused_size());
        }
        std::memset(found, 0, C);
        const int size = geom_face_size(g);
        const uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
        parallel_ranges(threads, g->n_faces, 16384, [&](uint64_t first_face, uint64_t end, uint64_t,
                                                       uint32_t) {
            for (uint64_t f = first_face; f < end; ++f) {
                const uint64_t first = size ? uint64_t(size) * f : g->face_start[f];
                const uint64_t n = size ? uint64_t(size) : g->face_start[f + 1] - first;
                for (uint64_t k = 0; k < n; ++k) {
                    const uint64_t kn = (k + 1) % n;
                    const uint64_t a = size ? corner[k][f] : g->corners[first + k];
                    const uint64_t b = size ? corner[kn][f] : g->corners[first + kn];
                    const uint64_t i = crease_index_find(&index, a, b);
                    // the marks only ever go from 0 to 1
                    if (i != UINT64_MAX) __atomic_store_n(&found[i], uint8_t(1), __ATOMIC_RELAXED);
                }
            }
        });
        const uint64_t c = crease_first_missing(&index, tags->crease_vertices, C, found, threads);
        if (c < C) {
            const uint64_t a = tags->crease_vertices[2 * c], b = tags->crease_vertices[2 * c + 1];
            status = error_set(error, subdiv_error_mesh, {tags->crease_line[c], 0, {a + 1, b + 1, 0, 0}},
                               "%s: line %llu: the crease from vertex %llu to vertex %llu is not "
                               "an edge of any face (tag vertices count from 0)",
                               name, (unsigned long long)tags->crease_line[c],
                               (unsigned long long)a, (unsigned long long)b);
        }
        crease_index_free(&index);
        mem_free(found);
    }
    if (status == subdiv_ok && tags->n_corners > 0) {
        g->vertex_sharpness = static_cast<float*>(mem_alloc(g->n_vertices * 4));
        if (!g->vertex_sharpness) {
            status = error_memory_in(error, name, mem_refused_size());
        } else {
            std::memset(g->vertex_sharpness, 0, g->n_vertices * 4);
            for (uint64_t c = 0; c < tags->n_corners; ++c) {
                float& s = g->vertex_sharpness[tags->corner_vertices[c]];
                if (tags->corner_sharpness[c] > s) s = tags->corner_sharpness[c];
            }
        }
    }
    if (status == subdiv_ok && tags->n_creases > 0) {
        g->n_creases = tags->n_creases;
        g->crease_vertices = tags->crease_vertices;
        g->crease_sharpness = tags->crease_sharpness;
        tags->crease_vertices = nullptr;
        tags->crease_sharpness = nullptr;
    }
    obj_tag_set_free(tags);
    return status;
}

void obj_tag_set_free(obj_tag_set* tags)
{
    mem_free(tags->crease_vertices);
    mem_free(tags->crease_sharpness);
    mem_free(tags->crease_line);
    mem_free(tags->corner_vertices);
    mem_free(tags->corner_sharpness);
    *tags = obj_tag_set{};
}

} // namespace subdiv

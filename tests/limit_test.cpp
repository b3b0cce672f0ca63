// Limit positions and normals through the public header: a vertex's limit
// position and normal at level N are those of the same vertex at level N + 1,
// which is what makes them the limit's, on every kind of vertex of both
// schemes and both vertex rules; and a sphere-like surface's normals point
// outward, across the surface its neighbours' limit positions span.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "subdiv/subdiv.h"

namespace {

typedef std::vector<std::vector<uint64_t>> face_list;

// OBJ text of vertices, faces (from 0) and any tag lines.
std::string obj_text(const std::vector<std::array<double, 3>>& v, const face_list& f,
                     const std::string& tags = "")
{
    std::string text;
    char line[96];
    for (const auto& p : v) {
        std::snprintf(line, sizeof line, "v %.9g %.9g %.9g\n", p[0], p[1], p[2]);
        text += line;
    }
    for (const auto& face : f) {
        text += "f";
        for (uint64_t c : face) {
            std::snprintf(line, sizeof line, " %llu", (unsigned long long)c + 1);
            text += line;
        }
        text += "\n";
    }
    return text + tags;
}

// Two pyramids on an n-gon: poles of valence n, the equator of valence 4;
// with a crease, a closed loop of sharp edges through both poles.
std::string bipyramid(int n, bool crease)
{
    std::vector<std::array<double, 3>> v;
    face_list f;
    for (int i = 0; i < n; ++i)
        v.push_back({std::cos(2 * M_PI * i / n), std::sin(2 * M_PI * i / n), 0});
    v.push_back({0, 0, 1.2});
    v.push_back({0, 0, -0.9});
    for (int i = 0; i < n; ++i) {
        const uint64_t j = (i + 1) % n;
        f.push_back({uint64_t(i), j, uint64_t(n)});
        f.push_back({j, uint64_t(i), uint64_t(n) + 1});
    }
    char tags[160];
    std::snprintf(tags, sizeof tags, "t crease 5/1/0 0 %d %d %d 0 10\n", n, n / 2, n + 1);
    return obj_text(v, f, crease ? tags : "");
}

// The cube of corners +-1, optionally every edge sharp.
std::string cube(bool sharp)
{
    std::vector<std::array<double, 3>> v;
    for (int i = 0; i < 8; ++i)
        v.push_back({i & 4 ? 1.0 : -1.0, i & 2 ? 1.0 : -1.0, i & 1 ? 1.0 : -1.0});
    const face_list f = {{4, 6, 7, 5}, {0, 1, 3, 2}, {2, 3, 7, 6},
                         {0, 4, 5, 1}, {1, 5, 7, 3}, {0, 2, 6, 4}};
    std::string tags;
    for (const auto& face : f)
        for (int k = 0; k < 4; ++k)
            if (face[k] < face[(k + 1) % 4]) {
                char line[40];
                std::snprintf(line, sizeof line, "t crease 2/1/0 %d %d 10\n", int(face[k]),
                              int(face[(k + 1) % 4]));
                tags += line;
            }
    return obj_text(v, f, sharp ? tags : "");
}

// An open bumpy sheet of rows x cols quads (or two triangles each); with
// semi-sharp features, a crease of 2.5 along a row and a corner of 1.5.
std::string sheet(int rows, int cols, bool triangles, bool semi_sharp)
{
    std::vector<std::array<double, 3>> v;
    face_list f;
    for (int i = 0; i <= rows; ++i)
        for (int j = 0; j <= cols; ++j)
            v.push_back({double(j), double(i), 0.3 * std::sin(i * 1.3 + j * 0.7)});
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const uint64_t a = i * (cols + 1) + j, b = a + 1, c = b + cols + 1, d = a + cols + 1;
            if (triangles) {
                f.push_back({a, b, c});
                f.push_back({a, c, d});
            } else {
                f.push_back({a, b, c, d});
            }
        }
    char tags[96];
    std::snprintf(tags, sizeof tags, "t crease 2/1/0 %d %d 2.5\nt corner 1/1/0 %d 1.5\n", cols + 2,
                  cols + 3, 3 * (cols + 1) + 2);
    return obj_text(v, f, semi_sharp ? tags : "");
}

// An open fan of n triangles round a vertex of the boundary.
std::string pie(int n)
{
    std::vector<std::array<double, 3>> v = {{0, 0, 0}};
    face_list f;
    for (int i = 0; i <= n; ++i)
        v.push_back({std::cos(M_PI * i / n), std::sin(M_PI * i / n), 0.2 * std::cos(i)});
    for (int i = 0; i < n; ++i) f.push_back({0, uint64_t(i) + 1, uint64_t(i) + 2});
    return obj_text(v, f);
}

// A prism on a pentagon: two faces of five corners, five quads.
std::string prism()
{
    std::vector<std::array<double, 3>> v;
    face_list f = {{4, 3, 2, 1, 0}, {5, 6, 7, 8, 9}};
    for (double z : {-0.5, 0.5})
        for (int i = 0; i < 5; ++i)
            v.push_back({std::cos(2 * M_PI * i / 5), std::sin(2 * M_PI * i / 5), z});
    for (uint64_t i = 0; i < 5; ++i) f.push_back({i, (i + 1) % 5, 5 + (i + 1) % 5, 5 + i});
    return obj_text(v, f);
}

// A level as the library gives it: positions and normals (the limit's), and
// what the same level held whole says of its faces and sharpness.
struct level {
    std::vector<float> position, normal;
    subdiv_geom held = {};
    ~level() { subdiv_geom_free(&held); }
};

void make_level(const std::string& text, int iterations, const subdiv_options& options, level* out)
{
    subdiv_options limit = options;
    limit.limit = limit.normals = 1;
    subdiv_geom input = {};
    subdiv_arrays arrays = {};
    subdiv_error error;
    ASSERT_EQ(
        subdiv_obj_read_text("in.obj", text.data(), text.size(), nullptr, &options, &input, &error),
        subdiv_ok)
        << error.message;
    ASSERT_EQ(subdiv_refine(&input, iterations, &options, &out->held, &error), subdiv_ok)
        << error.message;
    ASSERT_EQ(subdiv_refine_arrays(&input, iterations, &limit, &arrays, &error), subdiv_ok)
        << error.message;
    out->position.assign(arrays.positions, arrays.positions + 3 * arrays.n_vertices);
    out->normal.assign(arrays.normals, arrays.normals + 3 * arrays.n_vertices);
    subdiv_arrays_free(&arrays);
}

double angle(const float* a, const float* b)
{
    const double dot = double(a[0]) * b[0] + double(a[1]) * b[1] + double(a[2]) * b[2];
    return std::acos(std::fmax(-1.0, std::fmin(1.0, dot)));
}

// The corners of face f of a held level.
std::vector<uint64_t> corners(const subdiv_geom& g, uint64_t f)
{
    const int n = int(g.flags & 0xF);
    if (n == 0)
        return std::vector<uint64_t>(g.corners + g.face_start[f], g.corners + g.face_start[f + 1]);
    const uint64_t* const corner[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
    std::vector<uint64_t> c;
    for (int k = 0; k < n; ++k) c.push_back(corner[k][f]);
    return c;
}

struct invariance_case {
    const char* name;
    std::string obj;
    subdiv_scheme scheme;
    subdiv_vertex_rule rule;
    subdiv_corners corners;
    std::vector<int> levels;
};

} // namespace

// Each vertex of level N against itself at N + 1: positions within 1e-5 of
// the diagonal of the bounding box, normals within 1e-3 radians at smooth
// vertices, on creases and the boundary (the masks across a crease are the
// eigenvectors of its rules, on any number of faces) and at corners on one
// face. Vertices within two rings of an edge or vertex whose sharpness is
// still between 0 and 10 at level N are left out: the surface there still
// changes. Every kind of vertex is met, and valences 3 to 8.
TEST(Limit, PositionsAndNormalsAreThoseOfTheNextLevel)
{
    const subdiv_scheme loop = subdiv_scheme_loop, cc = subdiv_scheme_catmull_clark;
    const subdiv_vertex_rule edge = subdiv_vertex_rule_edge_points,
                             classic = subdiv_vertex_rule_classic;
    const subdiv_corners sharp = subdiv_corners_sharp, smooth = subdiv_corners_smooth;
    std::vector<invariance_case> cases;
    for (int n = 3; n <= 8; ++n) {
        cases.push_back({"bipyramid", bipyramid(n, n % 2 == 0), loop, edge, sharp, {0, 1, 2}});
        for (subdiv_vertex_rule rule : {edge, classic})
            cases.push_back(
                {"bipyramid as quads", bipyramid(n, n % 2 == 0), cc, rule, sharp, {1, 2}});
    }
    for (subdiv_vertex_rule rule : {edge, classic}) {
        cases.push_back({"cube", cube(false), cc, rule, sharp, {0, 1, 2}});
        cases.push_back({"sharp cube", cube(true), cc, rule, sharp, {0, 1, 2}});
        cases.push_back({"prism", prism(), cc, rule, sharp, {1, 2}});
        for (subdiv_corners corners : {sharp, smooth}) {
            cases.push_back(
                {"sheet of quads", sheet(5, 4, false, true), cc, rule, corners, {0, 1, 2}});
            cases.push_back({"pie as quads", pie(5), cc, rule, corners, {1, 2}});
        }
    }
    for (subdiv_corners corners : {sharp, smooth}) {
        cases.push_back(
            {"sheet of triangles", sheet(5, 4, true, true), loop, edge, corners, {0, 1, 2}});
        cases.push_back({"pie", pie(5), loop, edge, corners, {0, 1, 2}});
    }
    std::set<std::string> kinds_met;
    for (const invariance_case& c : cases) {
        subdiv_options options;
        subdiv_options_init(&options);
        options.scheme = c.scheme;
        options.vertex_rule = c.rule;
        options.corners = c.corners;
        for (int n : c.levels) {
            char where[160];
            std::snprintf(where, sizeof where, "%s, %s%s%s, level %d", c.name,
                          c.scheme == loop ? "Loop" : "Catmull-Clark",
                          c.rule == classic ? ", classic" : "",
                          c.corners == smooth ? ", smooth corners" : "", n);
            level at, next;
            make_level(c.obj, n, options, &at);
            make_level(c.obj, n + 1, options, &next);
            const subdiv_geom& g = at.held;
            const uint64_t V = g.n_vertices;
            ASSERT_EQ(at.position.size(), 3 * V);
            // the faces round each vertex, its neighbours and edges
            std::map<std::pair<uint64_t, uint64_t>, int> edge_faces;
            std::vector<std::set<uint64_t>> neighbours(V);
            std::vector<int> faces(V);
            for (uint64_t f = 0; f < g.n_faces; ++f) {
                const std::vector<uint64_t> k = corners(g, f);
                for (size_t i = 0; i < k.size(); ++i) {
                    const uint64_t a = k[i], b = k[(i + 1) % k.size()];
                    edge_faces[std::minmax(a, b)] += 1;
                    neighbours[a].insert(b);
                    neighbours[b].insert(a);
                    faces[a] += 1;
                }
            }
            // the sharpness left at level N, and what is still semi-sharp
            std::map<std::pair<uint64_t, uint64_t>, float> crease;
            for (uint64_t i = 0; i < g.n_creases; ++i)
                crease[std::minmax(g.crease_vertices[2 * i], g.crease_vertices[2 * i + 1])] =
                    g.crease_sharpness[i];
            std::vector<int> sharp_edges(V);
            std::set<uint64_t> changing;
            for (const auto& [e, count] : edge_faces) {
                const float s = count == 1 ? 10.0f : crease.count(e) ? crease[e] : 0.0f;
                if (s > 0.0f) sharp_edges[e.first] += 1, sharp_edges[e.second] += 1;
                if (s > 0.0f && s < 10.0f) changing.insert({e.first, e.second});
            }
            for (uint64_t v = 0; g.vertex_sharpness && v < V; ++v)
                if (g.vertex_sharpness[v] > 0.0f && g.vertex_sharpness[v] < 10.0f)
                    changing.insert(v);
            for (int ring = 0; ring < 2; ++ring) {
                std::set<uint64_t> wider = changing;
                for (uint64_t v : changing)
                    wider.insert(neighbours[v].begin(), neighbours[v].end());
                changing = wider;
            }
            float low[3] = {INFINITY, INFINITY, INFINITY},
                  high[3] = {-INFINITY, -INFINITY, -INFINITY};
            for (uint64_t v = 0; v < V; ++v)
                for (int k = 0; k < 3; ++k) {
                    low[k] = std::fmin(low[k], at.position[3 * v + k]);
                    high[k] = std::fmax(high[k], at.position[3 * v + k]);
                }
            const double diagonal =
                std::hypot(high[0] - low[0], high[1] - low[1], high[2] - low[2]);
            for (uint64_t v = 0; v < V; ++v) {
                if (changing.count(v)) continue;
                bool boundary = false;
                for (uint64_t w : neighbours[v])
                    boundary = boundary || edge_faces[std::minmax(v, w)] == 1;
                const bool implicit = boundary && neighbours[v].size() == 2 && c.corners == sharp;
                const bool corner = (g.vertex_sharpness && g.vertex_sharpness[v] > 0.0f) ||
                                    sharp_edges[v] >= 3 || implicit;
                const char* kind = corner                ? "corner"
                                   : sharp_edges[v] == 2 ? (boundary ? "boundary" : "crease")
                                                         : "smooth";
                char met[40];
                std::snprintf(met, sizeof met, "%s%s", kind,
                              corner && faces[v] == 1 ? " on one face" : "");
                kinds_met.insert(met);
                std::snprintf(met, sizeof met, "valence %zu", neighbours[v].size());
                if (!corner) kinds_met.insert(met);
                const float* const p = &at.position[3 * v];
                const float* const q = &next.position[3 * v];
                EXPECT_LE(std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]), 1e-5 * diagonal)
                    << where << ": position of " << kind << " vertex " << v;
                if (!corner || faces[v] == 1) {
                    EXPECT_LE(angle(&at.normal[3 * v], &next.normal[3 * v]), 1e-3)
                        << where << ": normal of " << kind << " vertex " << v << " on " << faces[v]
                        << " faces";
                }
            }
        }
    }
    for (const char* kind :
         {"smooth", "crease", "boundary", "corner", "corner on one face", "valence 3", "valence 4",
          "valence 5", "valence 6", "valence 7", "valence 8"})
        EXPECT_TRUE(kinds_met.count(kind)) << kind;
}

// Three levels of an icosahedron (Loop) and of a cube (Catmull-Clark, both
// vertex rules): every normal points away from the centre, and lies within
// two degrees of the normal of the faces that the vertex's limit position
// spans with its neighbours'.
TEST(Limit, NormalsOfASphereLikeSurfacePointOutward)
{
    const double t = (1.0 + std::sqrt(5.0)) / 2.0;
    const std::string icosahedron = obj_text(
        {{-1, t, 0},
         {1, t, 0},
         {-1, -t, 0},
         {1, -t, 0},
         {0, -1, t},
         {0, 1, t},
         {0, -1, -t},
         {0, 1, -t},
         {t, 0, -1},
         {t, 0, 1},
         {-t, 0, -1},
         {-t, 0, 1}},
        {{0, 11, 5},  {0, 5, 1},  {0, 1, 7},  {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
         {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
         {3, 8, 9},   {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}});
    for (int job = 0; job < 3; ++job) {
        subdiv_options options;
        subdiv_options_init(&options);
        options.limit = options.normals = 1;
        options.vertex_rule =
            job == 2 ? subdiv_vertex_rule_classic : subdiv_vertex_rule_edge_points;
        const std::string text = job == 0 ? icosahedron : cube(false);
        subdiv_geom input = {};
        subdiv_arrays a = {};
        subdiv_error error;
        ASSERT_EQ(subdiv_obj_read_text("in.obj", text.data(), text.size(), nullptr, &options,
                                       &input, &error),
                  subdiv_ok);
        ASSERT_EQ(subdiv_refine_arrays(&input, 3, &options, &a, &error), subdiv_ok)
            << error.message;
        std::vector<double> spanned(3 * a.n_vertices, 0.0);
        const uint64_t n = uint64_t(a.face_size);
        for (uint64_t f = 0; f < a.n_faces; ++f)
            for (uint64_t k = 0; k < n; ++k) {
                const float* const v = &a.positions[3 * a.corners[n * f + k]];
                const float* const next = &a.positions[3 * a.corners[n * f + (k + 1) % n]];
                const float* const before = &a.positions[3 * a.corners[n * f + (k + n - 1) % n]];
                const double u[3] = {next[0] - v[0], next[1] - v[1], next[2] - v[2]};
                const double w[3] = {before[0] - v[0], before[1] - v[1], before[2] - v[2]};
                double* const s = &spanned[3 * a.corners[n * f + k]];
                s[0] += u[1] * w[2] - u[2] * w[1];
                s[1] += u[2] * w[0] - u[0] * w[2];
                s[2] += u[0] * w[1] - u[1] * w[0];
            }
        for (uint64_t v = 0; v < a.n_vertices; ++v) {
            const float* const p = &a.positions[3 * v];
            const float* const normal = &a.normals[3 * v];
            EXPECT_GT(p[0] * normal[0] + p[1] * normal[1] + p[2] * normal[2], 0.0f)
                << job << ": vertex " << v;
            const double* const s = &spanned[3 * v];
            const float faces_normal[3] = {float(s[0] / std::hypot(s[0], s[1], s[2])),
                                           float(s[1] / std::hypot(s[0], s[1], s[2])),
                                           float(s[2] / std::hypot(s[0], s[1], s[2]))};
            EXPECT_LE(angle(normal, faces_normal), 2.0 * M_PI / 180.0) << job << ": vertex " << v;
        }
        subdiv_arrays_free(&a);
    }
}

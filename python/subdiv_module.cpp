// The Python module subdiv: the library over numpy arrays.
//
//   vertices, faces = subdiv.refine(vertices, faces, iterations, scheme=..., corners=..., threads=...)
//   vertices, faces = subdiv.read_obj(path)
//   subdiv.write_obj(path, vertices, faces, precision=...)
//
// Arrays are checked before any work; a refusal of the library, or of the
// arrays, raises subdiv.Error (a ValueError) with the library's message and
// the line, face and vertices it names. The refinement runs without the
// GIL, and the arrays it returns own the library's result blocks.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "geom.h"
#include "storage.h"
#include "subdiv/subdiv.h"

namespace py = pybind11;
using namespace subdiv;

namespace {

// The most corners of a face.
const uint64_t most_corners = 15;

// subdiv.Error, made when the module loads.
PyObject* error_type = nullptr;

// Raises subdiv.Error from the library's record: its message, and its line,
// face and vertices (those named) as attributes.
[[noreturn]] void raise_error(const subdiv_error& error)
{
    std::vector<uint64_t> named;
    for (uint64_t v : error.vertices)
        if (v) named.push_back(v);
    py::tuple fields(named.size());
    for (size_t i = 0; i < named.size(); ++i) fields[i] = py::int_(named[i]);
    py::object exception = py::reinterpret_borrow<py::object>(error_type)(
        std::string(error.message), py::int_(error.line), py::int_(error.face), fields);
    PyErr_SetObject(error_type, exception.ptr());
    throw py::error_already_set();
}

// Raises subdiv.Error with a message of this module's own.
[[noreturn]] void raise_message(const std::string& message)
{
    subdiv_error error = {};
    error.status = subdiv_error_usage;
    std::snprintf(error.message, sizeof error.message, "%s", message.c_str());
    raise_error(error);
}

// A geom that the library's blocks hold, released unless handed over.
struct held_geom {
    geom g = {};
    ~held_geom() { subdiv_geom_free(&g); }
};

// The vertices as an (n, 3) array of float32: as given when they are float32,
// else converted (wider floats rounded to float32, integers as floats).
py::array_t<float> float_vertices(const py::handle& vertices)
{
    py::array array = py::array::ensure(vertices);
    if (!array || array.ndim() != 2 || array.shape(1) != 3)
        raise_message("vertices must be an (n, 3) array");
    const char kind = array.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        raise_message("vertices must be an array of numbers");
    if (kind == 'f' && array.itemsize() == 4)
        return py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
    // float64 (and integers) rounded to the nearest float32
    auto doubles = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
    py::array_t<float> floats({array.shape(0), py::ssize_t(3)});
    const double* from = doubles.data();
    float* to = floats.mutable_data();
    for (py::ssize_t i = 0; i < 3 * array.shape(0); ++i) to[i] = static_cast<float>(from[i]);
    return floats;
}

// Checks one face index against the vertices; faces count from 1.
inline uint64_t checked_index(int64_t index, uint64_t n_vertices, uint64_t face)
{
    if (__builtin_expect(index < 0 || uint64_t(index) >= n_vertices, 0))
        raise_message("face " + std::to_string(face + 1) + " names vertex index " +
                      std::to_string(index) + ", but the indices run from 0 to " +
                      std::to_string(int64_t(n_vertices) - 1));
    return uint64_t(index);
}

// The faces of a sequence of index sequences: the corners, and where each
// face starts among them.
void listed_faces(const py::handle& faces, uint64_t n_vertices, std::vector<uint64_t>* start,
                  std::vector<uint64_t>* corners)
{
    if (!py::isinstance<py::sequence>(faces) || py::isinstance<py::str>(faces))
        raise_message("faces must be an (m, k) array of integers or a list of index lists");
    const py::sequence list = py::reinterpret_borrow<py::sequence>(faces);
    start->push_back(0);
    for (size_t f = 0; f < list.size(); ++f) {
        const py::handle face = list[f];
        if (!py::isinstance<py::sequence>(face) || py::isinstance<py::str>(face))
            raise_message("face " + std::to_string(f + 1) + " is not a sequence of indices");
        const py::sequence face_indices = py::reinterpret_borrow<py::sequence>(face);
        if (face_indices.size() < 3 || face_indices.size() > most_corners)
            raise_message("face " + std::to_string(f + 1) + " has " +
                          std::to_string(face_indices.size()) + " corners; a face has 3 to 15");
        for (const py::handle index : face_indices) {
            // Python's integers and numpy's, whatever has an index
            if (!PyIndex_Check(index.ptr()))
                raise_message("face " + std::to_string(f + 1) +
                              " has an index that is not an integer");
            corners->push_back(checked_index(index.cast<int64_t>(), n_vertices, f));
        }
        start->push_back(corners->size());
    }
}

// A geom of library blocks from the caller's vertices and faces, checked:
// faces of 3 or 4 corners each in their corner arrays, any other mix as
// faces of any sizes.
void take_mesh(const py::handle& vertices, const py::handle& faces, geom* g)
{
    const py::array_t<float> positions = float_vertices(vertices);
    const uint64_t n = uint64_t(positions.shape(0));
    const float* p = positions.data();
    for (uint64_t i = 0; i < 3 * n; ++i)
        if (!std::isfinite(p[i]))
            raise_message("vertex " + std::to_string(i / 3 + 1) +
                          " has a coordinate that is not a finite float32");
    if (py::isinstance<py::array>(faces)) {
        const py::array array = py::reinterpret_borrow<py::array>(faces);
        const char kind = array.dtype().kind();
        if (array.ndim() != 2 || (kind != 'i' && kind != 'u'))
            raise_message("faces must be an (m, k) array of integers or a list of index lists");
        auto indices = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
        const uint64_t m = uint64_t(indices.shape(0)), k = uint64_t(indices.shape(1));
        if (k < 3 || k > most_corners)
            raise_message("faces have " + std::to_string(k) + " corners; a face has 3 to 15");
        if (m == 0) raise_message("there are no faces");
        const int64_t* q = indices.data();
        if (k <= 4) {
            if (!geom_alloc(g, n, m, 0, int(k))) throw std::bad_alloc();
            uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
            for (uint64_t f = 0; f < m; ++f)
                for (uint64_t c = 0; c < k; ++c) corner[c][f] = checked_index(q[f * k + c], n, f);
        } else {
            if (!geom_alloc_polygons(g, n, m, m * k)) throw std::bad_alloc();
            for (uint64_t f = 0; f <= m; ++f) g->face_start[f] = f * k;
            for (uint64_t i = 0; i < m * k; ++i) g->corners[i] = checked_index(q[i], n, i / k);
        }
    } else {
        std::vector<uint64_t> start, corners;
        listed_faces(faces, n, &start, &corners);
        const uint64_t m = start.size() - 1;
        if (m == 0) raise_message("there are no faces");
        int size = int(start[1] - start[0]);
        for (uint64_t f = 1; f < m && size; ++f)
            if (int(start[f + 1] - start[f]) != size) size = 0;
        if (size == 3 || size == 4) {
            if (!geom_alloc(g, n, m, 0, size)) throw std::bad_alloc();
            uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
            for (uint64_t f = 0; f < m; ++f)
                for (int c = 0; c < size; ++c) corner[c][f] = corners[start[f] + uint64_t(c)];
        } else {
            if (!geom_alloc_polygons(g, n, m, corners.size())) throw std::bad_alloc();
            std::memcpy(g->face_start, start.data(), start.size() * 8);
            std::memcpy(g->corners, corners.data(), corners.size() * 8);
        }
    }
    float* const axes[3] = {g->x, g->y, g->z};
    for (uint64_t v = 0; v < n; ++v)
        for (int a = 0; a < 3; ++a) axes[a][v] = p[3 * v + uint64_t(a)];
}

// A numpy array that owns a library block: freed with it.
template <typename T>
py::array owning_array(T* block, uint64_t rows, uint64_t columns)
{
    py::capsule owner(block, [](void* p) { mem_free(p); });
    return py::array_t<T>({py::ssize_t(rows), py::ssize_t(columns)},
                          {py::ssize_t(columns * sizeof(T)), py::ssize_t(sizeof(T))}, block, owner);
}

// The faces of flat arrays: an (m, k) array, or a list of arrays for faces
// of any sizes.
py::object faces_object(const subdiv_arrays* arrays)
{
    if (arrays->face_size)
        return owning_array(reinterpret_cast<int64_t*>(arrays->corners), arrays->n_faces,
                            uint64_t(arrays->face_size));
    py::list faces;
    for (uint64_t f = 0; f < arrays->n_faces; ++f) {
        const uint64_t first = arrays->face_start[f], n = arrays->face_start[f + 1] - first;
        py::array_t<int64_t> face{py::ssize_t(n)};
        std::memcpy(face.mutable_data(), arrays->corners + first, n * 8);
        faces.append(face);
    }
    mem_free(arrays->corners);
    return std::move(faces);
}

// The vertices and faces of flat arrays, which the returned arrays take over.
py::tuple mesh_tuple(subdiv_arrays* arrays)
{
    py::array vertices = owning_array(arrays->positions, arrays->n_vertices, 3);
    arrays->positions = nullptr;
    py::object faces = faces_object(arrays);
    arrays->corners = nullptr;
    mem_free(arrays->face_start);
    *arrays = subdiv_arrays{};
    return py::make_tuple(vertices, faces);
}

// One of the names of an option, as its value.
template <typename T>
T option_value(const std::string& name, const std::string& given,
               const std::vector<std::pair<const char*, T>>& values)
{
    std::string known;
    for (const auto& [text, value] : values) {
        if (given == text) return value;
        known += (known.empty() ? "" : ", ") + std::string(text);
    }
    raise_message(name + " must be one of " + known + ", not '" + given + "'");
}

py::tuple refine(const py::handle& vertices, const py::handle& faces, int iterations,
                 const std::string& scheme, const std::string& corners, const py::object& threads)
{
    subdiv_options options;
    subdiv_options_init(&options);
    options.scheme = option_value<subdiv_scheme>(
        "scheme", scheme,
        {{"auto", subdiv_scheme_auto}, {"loop", subdiv_scheme_loop},
         {"catmull-clark", subdiv_scheme_catmull_clark}});
    options.corners = option_value<subdiv_corners>(
        "corners", corners, {{"sharp", subdiv_corners_sharp}, {"smooth", subdiv_corners_smooth}});
    if (!threads.is_none()) {
        const int n = threads.cast<int>();
        if (n < 1) raise_message("threads must be at least 1, not " + std::to_string(n));
        options.threads = n;
    }
    if (iterations < 0)
        raise_message("the iteration count " + std::to_string(iterations) + " is negative");
    held_geom input;
    take_mesh(vertices, faces, &input.g);
    subdiv_arrays arrays = {};
    subdiv_error error;
    subdiv_status status;
    {
        py::gil_scoped_release unlocked;
        status = subdiv_refine_arrays(&input.g, iterations, &options, &arrays, &error);
    }
    if (status != subdiv_ok) raise_error(error);
    return mesh_tuple(&arrays);
}

py::tuple read_obj(const std::string& path)
{
    subdiv_options options;
    subdiv_options_init(&options);
    held_geom g;
    subdiv_error error;
    subdiv_status status;
    {
        py::gil_scoped_release unlocked;
        status = subdiv_obj_read(path.c_str(), &options, &g.g, &error);
    }
    if (status != subdiv_ok) raise_error(error);
    // the mesh as read: no iterations
    subdiv_arrays arrays = {};
    status = subdiv_refine_arrays(&g.g, 0, &options, &arrays, &error);
    if (status != subdiv_ok) raise_error(error);
    return mesh_tuple(&arrays);
}

void write_obj(const std::string& path, const py::handle& vertices, const py::handle& faces,
               const std::string& precision)
{
    subdiv_options options;
    subdiv_options_init(&options);
    options.precision = option_value<subdiv_precision>(
        "precision", precision,
        {{"6", subdiv_precision_6}, {"shortest", subdiv_precision_shortest}});
    held_geom g;
    take_mesh(vertices, faces, &g.g);
    subdiv_error error;
    subdiv_status status;
    {
        py::gil_scoped_release unlocked;
        status = subdiv_obj_write(path.c_str(), &g.g, &options, &error);
    }
    if (status != subdiv_ok) raise_error(error);
}

} // namespace

PYBIND11_MODULE(subdiv, module)
{
    module.doc() = "Refines polygon meshes by Loop and Catmull-Clark subdivision, exactly.";
    module.attr("__version__") = subdiv_version();
    py::dict scope;
    py::exec(R"(
class Error(ValueError):
    """A mesh, file or argument that subdiv refuses: the message, and the
    line, face (counted from 1) and vertices (counted from 1) it names, 0
    and () where it names none."""

    def __init__(self, message, line=0, face=0, vertices=()):
        super().__init__(message)
        self.line = line
        self.face = face
        self.vertices = tuple(vertices)
)",
             py::globals(), scope);
    py::object error = scope["Error"];
    error.attr("__module__") = "subdiv";
    module.attr("Error") = error;
    error_type = error.release().ptr();

    module.def("refine", &refine, py::arg("vertices"), py::arg("faces"), py::arg("iterations"),
               py::kw_only(), py::arg("scheme") = "auto", py::arg("corners") = "sharp",
               py::arg("threads") = py::none(),
               R"(Refines a mesh iterations times and returns (vertices, faces).

vertices: an (n, 3) array; float32 is used as it is, float64 is rounded to
float32 first. faces: an (m, 3) or (m, 4) integer array, or a list of index
sequences (3 to 15 corners each) for meshes of mixed faces; indices count
from 0. scheme: "auto" (Loop for triangles only, else Catmull-Clark),
"loop" or "catmull-clark". corners: "sharp" or "smooth", for the corners of
open meshes. threads: the threads to run on (None: every core).

Returns float32 vertices (n', 3) and int64 faces (m', 4) for Catmull-Clark or
(m', 3) for Loop (for 0 iterations, the faces as given). Raises subdiv.Error.)");
    module.def("read_obj", &read_obj, py::arg("path"),
               R"(Reads an OBJ file: returns (vertices, faces) as refine does.)");
    module.def("write_obj", &write_obj, py::arg("path"), py::arg("vertices"), py::arg("faces"),
               py::kw_only(), py::arg("precision") = "6",
               R"(Writes vertices and faces as OBJ text to path ("-": standard output), as
the command-line tool writes them: precision "6" (six decimals) or
"shortest" (the fewest digits that read back to the same float32).)");
}

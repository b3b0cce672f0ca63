// The extension subdiv._subdiv: the library's public calls over numpy
// arrays, for the package subdiv (python/subdiv/__init__.py), which gives
// them their signatures, documentation and result type.
//
//   refine(vertices, faces, iterations, uv, face_uv, progress, options,
//          creases, corner_sharpness, face_material) -> dict
//   read(path, options, obj_only) -> dict
//   write(path, vertices, faces, uv, face_uv, normals, creases,
//         corner_sharpness, options) -> None
//   set_error_factory(make_error)
//
// options is a dict of the keyword options that set fields of
// subdiv_options (option_rules below); creases is None or a pair (edges,
// sharpness). A result dict holds "vertices", "faces", when the mesh has
// texture coordinates "uv" and "face_uv", with normals "normals", with
// sharpness left "creases" and "corner_sharpness", with materials
// "face_material": numpy arrays over blocks that a capsule releases once
// the last of them goes. Without sharp features or materials the blocks
// are the library's, of a subdiv_arrays record gathered as the last level
// is made; with them, the library's subdiv_refine holds the result whole
// (the only call that gives the sharpness left) and it is copied into
// blocks of this module. Faces come as an (m, k) array when all have k
// corners, else as a pair (corners, offsets).
//
// The arrays given are looked at with the GIL held (their shapes and element
// types); copying and checking them, reading, refining and writing run
// without it. A refusal, of the library or of the arrays, becomes the
// exception that make_error (set by the package) builds from the error
// record and the path.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "subdiv/subdiv.h"

namespace py = pybind11;

namespace {

// The most corners of a face.
const uint64_t most_corners = 15;

// The package's make_error(status, message, line, face, vertices, errno,
// filename), which builds the exception to raise; kept for the life of the
// interpreter.
PyObject* error_factory = nullptr;

// Fills *error as a refusal of this module (subdiv_error_usage) with the
// printf-style message; returns the status.
subdiv_status refuse(subdiv_error* error, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
subdiv_status refuse(subdiv_error* error, const char* format, ...)
{
    *error = subdiv_error{};
    error->status = subdiv_error_usage;
    va_list args;
    va_start(args, format);
    std::vsnprintf(error->message, sizeof error->message, format, args);
    va_end(args);
    return error->status;
}

// Raises the package's exception for the error record: the message, the
// places it names, the system's errno and, for a file, the path as given.
[[noreturn]] void raise_error(const subdiv_error& error, const py::object& filename = py::none())
{
    std::vector<uint64_t> named;
    for (uint64_t v : error.vertices)
        if (v) named.push_back(v);
    py::tuple vertices(named.size());
    for (size_t i = 0; i < named.size(); ++i) vertices[i] = py::int_(named[i]);
    py::object exception = py::reinterpret_borrow<py::object>(error_factory)(
        error.status, py::str(error.message), error.line, error.face, vertices,
        error.system_errno, filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

// Raises the package's exception for a refusal of this module.
[[noreturn]] void raise_message(const std::string& message)
{
    subdiv_error error;
    refuse(&error, "%s", message.c_str());
    raise_error(error);
}

// ---------------------------------------------------------------- arrays in

// The element types the copy loops read straight from an array; any other
// is converted by numpy first.
enum class element { f32, f64, i32, i64, u32, u64 };

// A 1-D or 2-D array as the copy loops read it: element (i, j) lies at
// data + i stride[0] + j stride[1]. The array (or a converted copy) is held
// so that the data outlives the work.
struct strided {
    py::array array;
    const char* data = nullptr;
    int64_t stride[2] = {0, 0};
    uint64_t rows = 0, columns = 1;
    element type = element::f32;
};

// The element of *a at (i, j) as T.
template <typename Source>
inline Source at(const strided& a, uint64_t i, uint64_t j)
{
    Source value;
    std::memcpy(&value, a.data + int64_t(i) * a.stride[0] + int64_t(j) * a.stride[1],
                sizeof value);
    return value;
}

// Calls body with a value of the element type of a.
template <typename Body>
auto with_element(const strided& a, Body body)
{
    switch (a.type) {
    case element::f32: return body(float());
    case element::f64: return body(double());
    case element::i32: return body(int32_t());
    case element::i64: return body(int64_t());
    case element::u32: return body(uint32_t());
    case element::u64: break;
    }
    return body(uint64_t());
}

// The strided view of array, whose dtype is one of the elements.
strided view_of(py::array array)
{
    strided a;
    const py::dtype dtype = array.dtype();
    const char kind = dtype.kind();
    const bool four = dtype.itemsize() == 4;
    a.type = kind == 'f' ? (four ? element::f32 : element::f64)
             : kind == 'i' ? (four ? element::i32 : element::i64)
                           : (four ? element::u32 : element::u64);
    a.data = static_cast<const char*>(array.data());
    a.rows = uint64_t(array.shape(0));
    a.stride[0] = array.strides(0);
    if (array.ndim() == 2) {
        a.columns = uint64_t(array.shape(1));
        a.stride[1] = array.strides(1);
    }
    a.array = std::move(array);
    return a;
}

// Whether the array's dtype is one the copy loops read: native float32,
// float64 or 32/64-bit integers of the kinds given ("f", "iu").
bool readable(const py::array& array, const char* kinds)
{
    const py::dtype dtype = array.dtype();
    return std::strchr(kinds, dtype.kind()) && (dtype.itemsize() == 4 || dtype.itemsize() == 8) &&
           dtype.attr("isnative").cast<bool>();
}

// An (n, columns) array of floats from any array-like of numbers: as it is
// when the copy loops read it, else converted to float64 by numpy; refused
// naming it `what`.
strided float_array(const py::handle& given, uint64_t columns, const char* what)
{
    py::array array = py::array::ensure(given);
    const std::string shape = "(n, " + std::to_string(columns) + ")";
    if (!array || array.ndim() != 2 || uint64_t(array.shape(1)) != columns)
        raise_message(std::string(what) + " must be an " + shape + " array");
    const char kind = array.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        raise_message(std::string(what) + " must be an array of numbers");
    if (!readable(array, "f"))
        array = py::array_t<double, py::array::forcecast>::ensure(array);
    if (!array) raise_message(std::string(what) + " cannot be converted to float64");
    return view_of(std::move(array));
}

// An integer array of ndim dimensions from a numpy array (as it is when the
// copy loops read it, else converted to int64), or nothing when it has
// another shape or holds no integers.
std::optional<strided> index_array(const py::array& given, int ndim)
{
    const char kind = given.dtype().kind();
    if (given.ndim() != ndim || (kind != 'i' && kind != 'u')) return std::nullopt;
    py::array array = given;
    if (!readable(array, "iu"))
        array = py::array_t<int64_t, py::array::forcecast>::ensure(array);
    if (!array) return std::nullopt;
    return view_of(std::move(array));
}

// Faces (or the texture coordinates of their corners) as given: an (m, k)
// table, or the corners face by face with the offsets where each face
// starts (m + 1 of them), from a pair of arrays or from a list of index
// sequences (held in listed).
struct face_input {
    face_input() = default;
    face_input(face_input&&) = default;
    face_input& operator=(face_input&&) = default;
    bool table = false;
    strided indices;  // the table, or the corners
    strided offsets;  // without a table
    std::vector<int64_t> listed_indices, listed_offsets;
    uint64_t n_faces = 0;
};

// A strided view of a vector's entries.
strided vector_view(const std::vector<int64_t>& values)
{
    strided a;
    a.data = reinterpret_cast<const char*>(values.data());
    a.rows = values.size();
    a.stride[0] = 8;
    a.type = element::i64;
    return a;
}

const char* const faces_forms =
    "an (m, k) array of integers, a pair (corners, offsets) of 1-D integer arrays or a list of "
    "index lists";

// The faces named what ("faces" or "face_uv") as given: an array, a pair of
// 1-D arrays, or a sequence of index sequences; their shape is checked here,
// their entries when they are copied.
face_input faces_of(const py::handle& given, const char* what)
{
    face_input faces;
    const std::string refusal = std::string(what) + " must be " + faces_forms;
    if (py::isinstance<py::array>(given)) {
        std::optional<strided> table = index_array(py::reinterpret_borrow<py::array>(given), 2);
        if (!table) raise_message(refusal);
        faces.table = true;
        faces.indices = std::move(*table);
        faces.n_faces = faces.indices.rows;
        if (faces.indices.columns < 3 || faces.indices.columns > most_corners)
            raise_message(std::string(what) + " have " + std::to_string(faces.indices.columns) +
                          " corners; a face has 3 to 15");
        return faces;
    }
    if (py::isinstance<py::tuple>(given) && py::len(given) == 2) {
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(given);
        if (py::isinstance<py::array>(pair[0]) && py::isinstance<py::array>(pair[1])) {
            std::optional<strided> corners =
                index_array(py::reinterpret_borrow<py::array>(pair[0]), 1);
            std::optional<strided> offsets =
                index_array(py::reinterpret_borrow<py::array>(pair[1]), 1);
            if (!corners || !offsets || offsets->rows == 0) raise_message(refusal);
            faces.indices = std::move(*corners);
            faces.offsets = std::move(*offsets);
            faces.n_faces = faces.offsets.rows - 1;
            return faces;
        }
    }
    if (!py::isinstance<py::sequence>(given) || py::isinstance<py::str>(given))
        raise_message(refusal);
    const py::sequence list = py::reinterpret_borrow<py::sequence>(given);
    faces.listed_offsets.reserve(list.size() + 1);
    faces.listed_offsets.push_back(0);
    for (size_t f = 0; f < list.size(); ++f) {
        const py::object face = list[f];
        if (!py::isinstance<py::sequence>(face) || py::isinstance<py::str>(face))
            raise_message(std::string(what) + ": face " + std::to_string(f + 1) +
                          " is not a sequence of indices");
        for (const py::handle index : py::reinterpret_borrow<py::sequence>(face)) {
            // Python's integers and numpy's, whatever has an index
            if (!PyIndex_Check(index.ptr()))
                raise_message(std::string(what) + ": face " + std::to_string(f + 1) +
                              " has an index that is not an integer");
            const py::object value = py::reinterpret_steal<py::object>(PyNumber_Index(index.ptr()));
            if (!value) throw py::error_already_set();
            // an index past int64 is out of range whatever the vertices
            int overflow = 0;
            const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
            faces.listed_indices.push_back(overflow ? (overflow > 0 ? INT64_MAX : INT64_MIN)
                                                    : int64_t(number));
        }
        faces.listed_offsets.push_back(int64_t(faces.listed_indices.size()));
    }
    faces.indices = vector_view(faces.listed_indices);
    faces.offsets = vector_view(faces.listed_offsets);
    faces.n_faces = list.size();
    return faces;
}

// The number of corners of face f, and the first of them (without a table).
inline uint64_t face_corners(const face_input& faces, uint64_t f, uint64_t* first)
{
    if (faces.table) {
        *first = f * faces.indices.columns;
        return faces.indices.columns;
    }
    return with_element(faces.offsets, [&](auto type) {
        using T = decltype(type);
        const T begin = at<T>(faces.offsets, f, 0), end = at<T>(faces.offsets, f + 1, 0);
        *first = uint64_t(begin);
        return end >= begin ? uint64_t(end) - uint64_t(begin) : UINT64_MAX;
    });
}

// Checks the offsets of faces given without a table: they start at 0, give
// each face 3 to 15 corners and end at the number of corners. Sets *size to
// the size all faces share, else 0. Returns subdiv_ok or a refusal.
subdiv_status offsets_check(const face_input& faces, const char* what, int* size,
                            subdiv_error* error)
{
    if (faces.table) {
        *size = int(faces.indices.columns);
        return subdiv_ok;
    }
    uint64_t first = 0, n = 0;
    if (faces.n_faces > 0) face_corners(faces, 0, &first);
    if (first != 0) return refuse(error, "%s: the offsets must start at 0", what);
    *size = -1;
    for (uint64_t f = 0; f < faces.n_faces; ++f) {
        n = face_corners(faces, f, &first);
        if (n < 3 || n > most_corners)
            return refuse(error, "%s: face %llu has %lld corners; a face has 3 to 15", what,
                          (unsigned long long)f + 1, (long long)n);
        *size = *size == -1 || *size == int(n) ? int(n) : 0;
    }
    if (first + n != faces.indices.rows)
        return refuse(error, "%s: the offsets end at %llu, but there are %llu corners", what,
                      (unsigned long long)(first + n), (unsigned long long)faces.indices.rows);
    return subdiv_ok;
}

// Copies the indices of the faces, each checked to lie below limit, face by
// face into to, or with columns corner c of face f into columns[c][f]; a
// refusal names the face and the index.
subdiv_status indices_copy(const face_input& faces, uint64_t limit, const char* what,
                           const char* element_name, uint64_t* to, uint64_t* const* columns,
                           subdiv_error* error)
{
    return with_element(faces.indices, [&](auto type) {
        using T = decltype(type);
        const strided& a = faces.indices;
        uint64_t out = 0;
        for (uint64_t f = 0; f < faces.n_faces; ++f) {
            uint64_t first;
            const uint64_t n = face_corners(faces, f, &first);
            for (uint64_t c = 0; c < n; ++c, ++out) {
                const T index = faces.table ? at<T>(a, f, c) : at<T>(a, first + c, 0);
                bool outside;
                if constexpr (std::is_unsigned_v<T>)
                    outside = uint64_t(index) >= limit;
                else
                    outside = index < 0 || uint64_t(index) >= limit;
                if (__builtin_expect(outside, 0))
                    return refuse(error,
                                  "%s: face %llu names %s index %s, but the indices run from "
                                  "0 to %lld",
                                  what, (unsigned long long)f + 1, element_name,
                                  std::to_string(index).c_str(), (long long)limit - 1);
                (columns ? columns[c][f] : to[out]) = uint64_t(index);
            }
        }
        return subdiv_status(subdiv_ok);
    });
}

// Copies column `column` of the float array a, rounded to float32 and
// checked to be finite, into to; a refusal names the row as what.
subdiv_status floats_copy(const strided& a, uint64_t column, const char* what, float* to,
                          subdiv_error* error)
{
    return with_element(a, [&](auto type) {
        using T = decltype(type);
        for (uint64_t i = 0; i < a.rows; ++i) {
            const float value = static_cast<float>(at<T>(a, i, column));
            if (__builtin_expect(!std::isfinite(value), 0))
                return refuse(error, "%s %llu has a coordinate that is not a finite float32",
                              what, (unsigned long long)i + 1);
            to[i] = value;
        }
        return subdiv_status(subdiv_ok);
    });
}

// A mesh as given: its vertices and faces, and texture coordinates with the
// faces' corners' indices into them, or none.
struct mesh_input {
    strided vertices;
    face_input faces;
    std::optional<strided> uv;
    face_input face_uv;
};

// The mesh from the caller's objects (the GIL held): shapes and types.
mesh_input mesh_of(const py::handle& vertices, const py::handle& faces, const py::handle& uv,
                   const py::handle& face_uv)
{
    mesh_input mesh;
    mesh.vertices = float_array(vertices, 3, "vertices");
    mesh.faces = faces_of(faces, "faces");
    if (uv.is_none() != face_uv.is_none())
        raise_message("uv and face_uv come together: give both or neither");
    if (!uv.is_none()) {
        mesh.uv = float_array(uv, 2, "uv");
        mesh.face_uv = faces_of(face_uv, "face_uv");
    }
    return mesh;
}

// Fills *g (cleared first) with the library's blocks holding the mesh, every
// entry checked (no GIL needed): faces of one size, 3 or 4, in its corner
// arrays, any others in its offsets and corners. Returns subdiv_ok, or a
// refusal with *g released.
subdiv_status geom_fill(const mesh_input& mesh, subdiv_geom* g, subdiv_error* error)
{
    *g = subdiv_geom{};
    const face_input& faces = mesh.faces;
    if (faces.n_faces == 0) return refuse(error, "there are no faces");
    int size;
    subdiv_status status = offsets_check(faces, "faces", &size, error);
    if (status != subdiv_ok) return status;
    const uint64_t n_corners = faces.table ? faces.n_faces * faces.indices.columns
                                           : faces.indices.rows;
    if (mesh.uv) {
        int uv_size;
        status = offsets_check(mesh.face_uv, "face_uv", &uv_size, error);
        if (status != subdiv_ok) return status;
        if (mesh.face_uv.n_faces != faces.n_faces)
            return refuse(error, "face_uv has %llu faces, faces %llu",
                          (unsigned long long)mesh.face_uv.n_faces,
                          (unsigned long long)faces.n_faces);
        for (uint64_t f = 0; f < faces.n_faces; ++f) {
            uint64_t first;
            const uint64_t n = face_corners(faces, f, &first);
            if (face_corners(mesh.face_uv, f, &first) != n)
                return refuse(error, "face_uv: face %llu has %llu corners in faces",
                              (unsigned long long)f + 1, (unsigned long long)n);
        }
    }
    const int face_size = size == 3 || size == 4 ? size : 0;
    const uint64_t n = mesh.vertices.rows;
    const uint64_t n_texcoords = mesh.uv ? mesh.uv->rows : 0;
    // an empty uv array still takes the texture coordinates: its faces then
    // name coordinates that are not there
    status = subdiv_geom_alloc(g, n, faces.n_faces, face_size, n_corners,
                               n_texcoords ? n_texcoords : (mesh.uv ? 1 : 0), error);
    if (status != subdiv_ok) return status;

    float* const axes[3] = {g->x, g->y, g->z};
    for (int a = 0; a < 3 && status == subdiv_ok; ++a)
        status = floats_copy(mesh.vertices, uint64_t(a), "vertex", axes[a], error);
    if (status == subdiv_ok && face_size == 0) {
        for (uint64_t f = 0; f <= faces.n_faces; ++f) {
            uint64_t first = 0;
            if (f < faces.n_faces) face_corners(faces, f, &first);
            g->face_start[f] = f < faces.n_faces ? first : n_corners;
        }
        status = indices_copy(faces, n, "faces", "vertex", g->corners, nullptr, error);
    } else if (status == subdiv_ok) {
        uint64_t* const corner[4] = {g->corner0, g->corner1, g->corner2, g->corner3};
        status = indices_copy(faces, n, "faces", "vertex", nullptr, corner, error);
    }
    if (status == subdiv_ok && mesh.uv) {
        status = floats_copy(*mesh.uv, 0, "texture coordinate", g->tex_u, error);
        if (status == subdiv_ok)
            status = floats_copy(*mesh.uv, 1, "texture coordinate", g->tex_v, error);
        if (status == subdiv_ok)
            status = indices_copy(mesh.face_uv, n_texcoords, "face_uv", "texture coordinate",
                                  g->corner_texcoord, nullptr, error);
    }
    if (status != subdiv_ok) subdiv_geom_free(g);
    return status;
}

// ---------------------------------------------------------------- sharp features in

// A 1-D array of numbers from any array-like (a single number gives rows
// entries of that number when rows is given), as the copy loops read it,
// else converted to float64; refused naming it `what`.
strided number_vector(const py::handle& given, const char* what,
                      std::optional<uint64_t> rows = std::nullopt)
{
    py::array array = py::array::ensure(given);
    const bool scalar = array && array.ndim() == 0 && rows;
    if (!array || (array.ndim() != 1 && !scalar))
        raise_message(std::string(what) + " must be a 1-D array of numbers");
    const char kind = array.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        raise_message(std::string(what) + " must be an array of numbers");
    if (!readable(array, "f")) array = py::array_t<double, py::array::forcecast>::ensure(array);
    if (!array) raise_message(std::string(what) + " cannot be converted to float64");
    if (!scalar) return view_of(std::move(array));
    // one number for every row: a view that never moves
    array = array.reshape({py::ssize_t(1)});
    strided a = view_of(std::move(array));
    a.rows = *rows;
    a.stride[0] = 0;
    return a;
}

// An integer array of ndim dimensions (and for 2 the given columns) from
// any array-like, refused naming it `what` as shaped `shape`.
strided integer_array(const py::handle& given, int ndim, uint64_t columns, const char* what,
                      const char* shape)
{
    py::array array = py::array::ensure(given);
    std::optional<strided> a;
    if (array) a = index_array(array, ndim);
    if (!a || (ndim == 2 && a->columns != columns))
        raise_message(std::string(what) + " must be " + shape + " array of integers");
    return std::move(*a);
}

// The sharp features and materials given to refine or write: the creases'
// ends (c, 2) and sharpness (c), the vertices' sharpness (n, or as a pair
// of indices and values the vertices named), the faces' materials (m).
struct feature_input {
    std::optional<strided> crease_ends, crease_sharpness;
    std::optional<strided> vertex_sharpness, sharp_vertices;
    std::optional<strided> face_material;
};

// The record's arrays of the features: the caller's own blocks, which
// subdiv_refine and subdiv_write only read; features_detach takes them out
// of the record again before subdiv_geom_free releases it.
struct feature_blocks {
    std::vector<uint64_t> crease_ends;
    std::vector<float> crease_sharpness, vertex_sharpness;
    std::vector<int32_t> face_material;
};

// The features from the caller's objects (the GIL held): creases a pair
// (ends, sharpness) of array-likes or None, corner_sharpness an array-like,
// a dict {vertex: sharpness} or None, face_material an array-like or None.
feature_input features_of(const py::handle& creases, const py::handle& corner_sharpness,
                          const py::handle& face_material)
{
    feature_input features;
    if (!creases.is_none()) {
        if (!py::isinstance<py::tuple>(creases) || py::len(creases) != 2)
            raise_message("creases must be a pair (edges, sharpness) or a dict "
                          "{(a, b): sharpness}");
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(creases);
        features.crease_ends = integer_array(pair[0], 2, 2, "creases: edges", "a (c, 2)");
        features.crease_sharpness =
            number_vector(pair[1], "creases: sharpness", features.crease_ends->rows);
        if (features.crease_sharpness->rows != features.crease_ends->rows)
            raise_message("creases: " + std::to_string(features.crease_ends->rows) +
                          " edges, but " + std::to_string(features.crease_sharpness->rows) +
                          " sharpness values");
    }
    if (py::isinstance<py::dict>(corner_sharpness)) {
        // a dict names some vertices; an empty one none
        const py::dict named = py::reinterpret_borrow<py::dict>(corner_sharpness);
        if (!named.empty()) {
            features.sharp_vertices = integer_array(py::list(named.attr("keys")()), 1, 1,
                                                    "corner_sharpness: vertices", "a 1-D");
            features.vertex_sharpness =
                number_vector(py::list(named.attr("values")()), "corner_sharpness");
        }
    } else if (!corner_sharpness.is_none()) {
        features.vertex_sharpness = number_vector(corner_sharpness, "corner_sharpness");
    }
    if (!face_material.is_none())
        features.face_material = integer_array(face_material, 1, 1, "face_material", "a 1-D");
    return features;
}

// Whether any sharp feature or material is given, or the options make some.
bool features_given(const feature_input& features, const subdiv_options& options)
{
    return features.crease_ends || features.vertex_sharpness || features.face_material ||
           options.crease_angle != 0.0;
}

// Copies column `column` of the number array a, cast to T, into to.
template <typename T>
void numbers_copy(const strided& a, uint64_t column, T* to)
{
    with_element(a, [&](auto type) {
        using S = decltype(type);
        for (uint64_t i = 0; i < a.rows; ++i) to[i] = static_cast<T>(at<S>(a, i, column));
        return 0;
    });
}

// The integer at row i, column j of a, or INT64_MIN for one past int64.
int64_t integer_at(const strided& a, uint64_t i, uint64_t j)
{
    return with_element(a, [&](auto type) {
        using S = decltype(type);
        const S value = at<S>(a, i, j);
        if constexpr (std::is_unsigned_v<S>)
            return uint64_t(value) > uint64_t(INT64_MAX) ? INT64_MIN : int64_t(value);
        else
            return int64_t(value);
    });
}

// Puts the features into *g (filled by geom_fill), their arrays held in
// *blocks; the sharpness values as float32, for the library to check. A
// refusal names the crease, vertex or face of an index out of range or a
// count that does not fit. Returns subdiv_ok or the refusal, *g unchanged.
subdiv_status features_attach(const feature_input& features, feature_blocks* blocks,
                              subdiv_geom* g, subdiv_error* error)
{
    const uint64_t n = g->n_vertices;
    if (features.crease_ends) {
        const strided& ends = *features.crease_ends;
        blocks->crease_ends.resize(2 * ends.rows);
        for (uint64_t i = 0; i < ends.rows; ++i)
            for (uint64_t j = 0; j < 2; ++j) {
                const int64_t v = integer_at(ends, i, j);
                if (v < 0 || uint64_t(v) >= n)
                    return refuse(error,
                                  "creases: crease %llu names vertex index %s, but the indices "
                                  "run from 0 to %lld",
                                  (unsigned long long)i + 1,
                                  v == INT64_MIN ? "past 2^63" : std::to_string(v).c_str(),
                                  (long long)n - 1);
                blocks->crease_ends[2 * i + j] = uint64_t(v);
            }
        blocks->crease_sharpness.resize(ends.rows);
        numbers_copy(*features.crease_sharpness, 0, blocks->crease_sharpness.data());
    }
    if (features.vertex_sharpness && features.sharp_vertices) {
        // a dict: the vertices it names, the rest 0
        const strided& named = *features.sharp_vertices;
        std::vector<float> values(named.rows);
        numbers_copy(*features.vertex_sharpness, 0, values.data());
        blocks->vertex_sharpness.assign(n, 0.0f);
        for (uint64_t i = 0; i < named.rows; ++i) {
            const int64_t v = integer_at(named, i, 0);
            if (v < 0 || uint64_t(v) >= n)
                return refuse(error,
                              "corner_sharpness names vertex index %s, but the indices run from "
                              "0 to %lld",
                              v == INT64_MIN ? "past 2^63" : std::to_string(v).c_str(),
                              (long long)n - 1);
            blocks->vertex_sharpness[uint64_t(v)] = values[i];
        }
    } else if (features.vertex_sharpness) {
        if (features.vertex_sharpness->rows != n)
            return refuse(error, "corner_sharpness has %llu entries, vertices %llu",
                          (unsigned long long)features.vertex_sharpness->rows,
                          (unsigned long long)n);
        blocks->vertex_sharpness.resize(n);
        numbers_copy(*features.vertex_sharpness, 0, blocks->vertex_sharpness.data());
    }
    if (features.face_material) {
        const strided& material = *features.face_material;
        if (material.rows != g->n_faces)
            return refuse(error, "face_material has %llu entries, faces %llu",
                          (unsigned long long)material.rows, (unsigned long long)g->n_faces);
        blocks->face_material.resize(material.rows);
        for (uint64_t f = 0; f < material.rows; ++f) {
            const int64_t m = integer_at(material, f, 0);
            if (m < -1 || m > INT32_MAX)
                return refuse(error,
                              "face_material: face %llu has material %s; a material is from -1 "
                              "(none) to 2^31 - 1",
                              (unsigned long long)f + 1,
                              m == INT64_MIN ? "past 2^63" : std::to_string(m).c_str());
            blocks->face_material[f] = int32_t(m);
        }
    }
    // the record points at the blocks; a vector's data may be null when empty
    if (features.crease_ends && !blocks->crease_ends.empty()) {
        g->n_creases = features.crease_ends->rows;
        g->crease_vertices = blocks->crease_ends.data();
        g->crease_sharpness = blocks->crease_sharpness.data();
    }
    if (!blocks->vertex_sharpness.empty()) g->vertex_sharpness = blocks->vertex_sharpness.data();
    if (features.face_material) g->face_material = blocks->face_material.data();
    return subdiv_ok;
}

// Takes the caller's blocks of the features out of *g.
void features_detach(subdiv_geom* g)
{
    g->n_creases = 0;
    g->crease_vertices = nullptr;
    g->crease_sharpness = nullptr;
    g->vertex_sharpness = nullptr;
    g->face_material = nullptr;
}

// ---------------------------------------------------------------- arrays out

// The capsule that owns a subdiv_arrays record and its blocks, released with
// the last array that refers to it.
py::capsule arrays_owner(subdiv_arrays* arrays)
{
    auto* held = new subdiv_arrays(*arrays);
    *arrays = subdiv_arrays{};
    return py::capsule(held, [](void* p) {
        auto* record = static_cast<subdiv_arrays*>(p);
        subdiv_arrays_free(record);
        delete record;
    });
}

// An array of rows x columns elements at block (columns 0: one dimension),
// held by owner.
template <typename T>
py::array view_array(const void* block, uint64_t rows, uint64_t columns, const py::capsule& owner)
{
    std::vector<py::ssize_t> shape = {py::ssize_t(rows)},
                             strides = {py::ssize_t((columns ? columns : 1) * sizeof(T))};
    if (columns) {
        shape.push_back(py::ssize_t(columns));
        strides.push_back(py::ssize_t(sizeof(T)));
    }
    return py::array(py::dtype::of<T>(), shape, strides, block, owner);
}

// The number of corners all faces of the arrays share, or 0: their face
// size, or for faces of any sizes the one their offsets give each face.
uint64_t shared_face_size(const subdiv_arrays& arrays)
{
    if (arrays.face_size) return uint64_t(arrays.face_size);
    const uint64_t* start = arrays.face_start;
    const uint64_t size = start[1] - start[0];
    for (uint64_t f = 1; f < arrays.n_faces; ++f)
        if (start[f + 1] - start[f] != size) return 0;
    return size;
}

// Indices of face corners as the caller sees faces: an (m, size) array, or
// for size 0 a pair (corners, offsets) sharing the offsets array.
py::object corner_indices(const subdiv_arrays& arrays, uint64_t size, const uint64_t* indices,
                          const py::object& offsets, const py::capsule& owner)
{
    if (size) return view_array<int64_t>(indices, arrays.n_faces, size, owner);
    return py::make_tuple(view_array<int64_t>(indices, arrays.face_start[arrays.n_faces], 0, owner),
                          offsets);
}

// The result dict of the arrays, which its arrays take over.
py::dict mesh_dict(subdiv_arrays* arrays)
{
    const subdiv_arrays shape = *arrays;
    const py::capsule owner = arrays_owner(arrays);
    py::dict mesh;
    mesh["vertices"] = view_array<float>(shape.positions, shape.n_vertices, 3, owner);
    const uint64_t size = shared_face_size(shape);
    py::object offsets = py::none();
    if (!size) offsets = view_array<int64_t>(shape.face_start, shape.n_faces + 1, 0, owner);
    mesh["faces"] = corner_indices(shape, size, shape.corners, offsets, owner);
    if (shape.texcoords) {
        mesh["uv"] = view_array<float>(shape.texcoords, shape.n_texcoords, 2, owner);
        mesh["face_uv"] = corner_indices(shape, size, shape.corner_texcoords, offsets, owner);
    }
    if (shape.normals) mesh["normals"] = view_array<float>(shape.normals, shape.n_vertices, 3, owner);
    return mesh;
}

// A mesh record's result as the caller sees it, copied out of the record
// (which holds positions and corners by axis and by corner) into blocks of
// its own: positions (n, 3), corners face by face, their offsets for faces
// of different sizes, texture coordinates, normals, the creases left, the
// vertices' sharpness left (when any is above 0) and the faces' materials.
struct geom_result {
    std::vector<float> positions, texcoords, normals, crease_sharpness, vertex_sharpness;
    std::vector<int64_t> corners, face_start, corner_texcoords, crease_ends;
    std::vector<int32_t> face_material;
    uint64_t n_vertices = 0, n_faces = 0, n_texcoords = 0, size = 0, n_creases = 0;
    bool texcoords_given = false, normals_given = false, material_given = false;
};

// The axes' arrays of n values each, interleaved into *out (n rows).
void interleave(std::vector<float>* out, std::initializer_list<const float*> axes, uint64_t n)
{
    const uint64_t width = axes.size();
    out->resize(width * n);
    uint64_t a = 0;
    for (const float* axis : axes) {
        for (uint64_t i = 0; i < n; ++i) (*out)[width * i + a] = axis[i];
        ++a;
    }
}

// Copies *g into *result (no GIL needed); std::bad_alloc when memory is
// refused.
void geom_result_fill(const subdiv_geom& g, geom_result* result)
{
    const uint64_t n = g.n_vertices, m = g.n_faces;
    result->n_vertices = n;
    result->n_faces = m;
    interleave(&result->positions, {g.x, g.y, g.z}, n);
    const uint64_t face_size = g.flags & 15;
    const uint64_t n_corners = face_size ? face_size * m : g.face_start[m];
    result->size = face_size;
    if (!face_size) {
        // faces of any sizes that all have one size come as a table too
        result->size = g.face_start[1] - g.face_start[0];
        for (uint64_t f = 1; f < m && result->size; ++f)
            if (g.face_start[f + 1] - g.face_start[f] != result->size) result->size = 0;
        if (!result->size) result->face_start.assign(g.face_start, g.face_start + m + 1);
        result->corners.assign(g.corners, g.corners + n_corners);
    } else {
        const uint64_t* const corner[4] = {g.corner0, g.corner1, g.corner2, g.corner3};
        result->corners.resize(n_corners);
        for (uint64_t f = 0; f < m; ++f)
            for (uint64_t c = 0; c < face_size; ++c)
                result->corners[face_size * f + c] = int64_t(corner[c][f]);
    }
    if (g.tex_u) {
        result->texcoords_given = true;
        result->n_texcoords = g.n_texcoords;
        interleave(&result->texcoords, {g.tex_u, g.tex_v}, g.n_texcoords);
        result->corner_texcoords.assign(g.corner_texcoord, g.corner_texcoord + n_corners);
    }
    if (g.normal_x && g.normal_y && g.normal_z) {
        result->normals_given = true;
        interleave(&result->normals, {g.normal_x, g.normal_y, g.normal_z}, n);
    }
    result->n_creases = g.n_creases;
    result->crease_ends.assign(g.crease_vertices, g.crease_vertices + 2 * g.n_creases);
    result->crease_sharpness.assign(g.crease_sharpness, g.crease_sharpness + g.n_creases);
    // as the OBJ text: the vertices' sharpness when some vertex keeps any
    for (uint64_t v = 0; g.vertex_sharpness && v < n; ++v)
        if (g.vertex_sharpness[v] > 0.0f) {
            result->vertex_sharpness.assign(g.vertex_sharpness, g.vertex_sharpness + n);
            break;
        }
    if (g.face_material) {
        result->material_given = true;
        result->face_material.assign(g.face_material, g.face_material + m);
    }
}

// An array of rows x columns elements of a vector (columns 0: one
// dimension), held by owner.
template <typename T>
py::array vector_array(const std::vector<T>& values, uint64_t rows, uint64_t columns,
                       const py::capsule& owner)
{
    // an empty vector may have no data; any address of the owner's serves
    static const T none{};
    return view_array<T>(values.empty() ? &none : values.data(), rows, columns, owner);
}

// The result dict of *result, which its arrays take over.
py::dict result_dict(std::unique_ptr<geom_result> held)
{
    const geom_result& r = *held;
    const py::capsule owner(held.release(),
                            [](void* p) { delete static_cast<geom_result*>(p); });
    py::dict mesh;
    mesh["vertices"] = vector_array(r.positions, r.n_vertices, 3, owner);
    py::object offsets = py::none();
    if (!r.size) offsets = vector_array(r.face_start, r.n_faces + 1, 0, owner);
    auto faces_of_corners = [&](const std::vector<int64_t>& indices) -> py::object {
        if (r.size) return vector_array(indices, r.n_faces, r.size, owner);
        return py::make_tuple(vector_array(indices, indices.size(), 0, owner), offsets);
    };
    mesh["faces"] = faces_of_corners(r.corners);
    if (r.texcoords_given) {
        mesh["uv"] = vector_array(r.texcoords, r.n_texcoords, 2, owner);
        mesh["face_uv"] = faces_of_corners(r.corner_texcoords);
    }
    if (r.normals_given) mesh["normals"] = vector_array(r.normals, r.n_vertices, 3, owner);
    if (r.n_creases)
        mesh["creases"] = py::make_tuple(vector_array(r.crease_ends, r.n_creases, 2, owner),
                                         vector_array(r.crease_sharpness, r.n_creases, 0, owner));
    if (!r.vertex_sharpness.empty())
        mesh["corner_sharpness"] = vector_array(r.vertex_sharpness, r.n_vertices, 0, owner);
    if (r.material_given) mesh["face_material"] = vector_array(r.face_material, r.n_faces, 0, owner);
    return mesh;
}

// ---------------------------------------------------------------- options

// One of the names of an option, as its value.
template <typename T>
T choice(const char* name, const py::handle& given,
         const std::vector<std::pair<const char*, T>>& values)
{
    std::string known;
    const std::string text = py::str(given);
    for (const auto& [name_of_value, value] : values) {
        if (py::isinstance<py::str>(given) && text == name_of_value) return value;
        known += (known.empty() ? "" : ", ") + std::string(name_of_value);
    }
    raise_message(std::string(name) + " must be one of " + known + ", not " +
                  std::string(py::repr(given)));
}

void apply_scheme(const py::handle& value, subdiv_options* options)
{
    options->scheme = choice<subdiv_scheme>("scheme", value,
                                            {{"auto", subdiv_scheme_auto},
                                             {"loop", subdiv_scheme_loop},
                                             {"catmull-clark", subdiv_scheme_catmull_clark}});
}

void apply_corners(const py::handle& value, subdiv_options* options)
{
    options->corners = choice<subdiv_corners>(
        "corners", value, {{"sharp", subdiv_corners_sharp}, {"smooth", subdiv_corners_smooth}});
}

void apply_threads(const py::handle& value, subdiv_options* options)
{
    if (value.is_none()) return;
    if (!PyIndex_Check(value.ptr()) || py::isinstance<py::bool_>(value))
        raise_message("threads must be an integer or None, not " + std::string(py::repr(value)));
    const py::int_ count = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (count < py::int_(1))
        raise_message("threads must be at least 1, not " + std::string(py::str(py::handle(count))));
    // more threads than the library runs on are as many as it runs on
    options->threads = count > py::int_(INT32_MAX) ? INT32_MAX : count.cast<int32_t>();
}

void apply_precision(const py::handle& value, subdiv_options* options)
{
    // 6 as an integer or as the text of the command line
    if (PyLong_CheckExact(value.ptr()) && value.cast<py::int_>().equal(py::int_(6)))
        options->precision = subdiv_precision_6;
    else
        options->precision = choice<subdiv_precision>(
            "precision", value, {{"6", subdiv_precision_6}, {"shortest", subdiv_precision_shortest}});
}

// The truth of a flag's value, as Python's bool() gives it.
int32_t truth_of(const py::handle& value)
{
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth;
}

void apply_uv(const py::handle& value, subdiv_options* options) { options->uv = truth_of(value); }

void apply_uv_mode(const py::handle& value, subdiv_options* options)
{
    options->uv = choice<subdiv_uv_mode>("uv_mode", value,
                                         {{"linear", subdiv_uv_linear},
                                          {"boundaries", subdiv_uv_boundaries},
                                          {"corners-concave", subdiv_uv_corners_concave},
                                          {"corners-junctions", subdiv_uv_corners_junctions},
                                          {"corners", subdiv_uv_corners},
                                          {"smooth", subdiv_uv_smooth}});
}

void apply_limit(const py::handle& value, subdiv_options* options)
{
    options->limit = truth_of(value);
}

void apply_normals(const py::handle& value, subdiv_options* options)
{
    options->normals = truth_of(value);
}

void apply_vertex_rule(const py::handle& value, subdiv_options* options)
{
    options->vertex_rule = choice<subdiv_vertex_rule>(
        "vertex_rule", value,
        {{"edge-points", subdiv_vertex_rule_edge_points}, {"classic", subdiv_vertex_rule_classic}});
}

void apply_crease_angle(const py::handle& value, subdiv_options* options)
{
    if (value.is_none()) return;
    const std::string refusal = "crease_angle must be a number of degrees above 0 and below "
                                "180, or None, not " + std::string(py::repr(value));
    if (py::isinstance<py::bool_>(value) || !PyNumber_Check(value.ptr()) ||
        py::isinstance<py::str>(value))
        raise_message(refusal);
    const double degrees = PyFloat_AsDouble(value.ptr());
    if (degrees == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!(degrees > 0.0 && degrees < 180.0)) raise_message(refusal);
    options->crease_angle = degrees;
}

void apply_format(const py::handle& value, subdiv_options* options)
{
    options->format = choice<subdiv_format>("format", value,
                                            {{"auto", subdiv_format_auto},
                                             {"obj", subdiv_format_obj},
                                             {"ply", subdiv_format_ply},
                                             {"ply-ascii", subdiv_format_ply_ascii}});
}

// A keyword option of the package that sets a field of subdiv_options: its
// name, and how its value sets the field (or raises the package's error).
struct option_rule {
    const char* name;
    void (*apply)(const py::handle& value, subdiv_options* options);
};

const option_rule option_rules[] = {
    {"scheme", apply_scheme},
    {"corners", apply_corners},
    {"threads", apply_threads},
    {"precision", apply_precision},
    {"uv", apply_uv},
    {"uv_mode", apply_uv_mode},
    {"limit", apply_limit},
    {"normals", apply_normals},
    {"vertex_rule", apply_vertex_rule},
    {"crease_angle", apply_crease_angle},
    {"format", apply_format},
};

// The library's options set by the given keyword options, the defaults for
// the rest.
subdiv_options options_of(const py::dict& given)
{
    subdiv_options options;
    subdiv_options_init(&options);
    for (const auto& [key, value] : given) {
        const std::string name = py::str(key);
        const option_rule* rule = nullptr;
        for (const option_rule& r : option_rules)
            if (name == r.name) rule = &r;
        if (!rule) throw py::type_error("subdiv: no option " + name);
        rule->apply(value, &options);
    }
    return options;
}

// What the library's callbacks report to during a call, made on the calling
// thread without the GIL: the progress function (called with the GIL taken;
// the first exception it raises ends its calls and is raised after the
// call), and the warnings, issued once the call returns.
struct call_reports {
    py::object progress;
    std::optional<py::error_already_set> progress_failure;
    std::mutex lock;
    std::vector<std::string> warnings;
};

void report_progress(void* context, int32_t level, uint64_t before, uint64_t after)
{
    auto* reports = static_cast<call_reports*>(context);
    py::gil_scoped_acquire gil;
    if (reports->progress_failure) return;
    try {
        reports->progress(level, before, after);
    } catch (py::error_already_set& failure) {
        reports->progress_failure.emplace(std::move(failure));
    }
}

void report_warning(void* context, const char* message)
{
    auto* reports = static_cast<call_reports*>(context);
    std::lock_guard<std::mutex> hold(reports->lock);
    reports->warnings.emplace_back(message);
}

// Sets the options' callbacks to report into *reports.
void reports_attach(call_reports* reports, const py::object& progress, subdiv_options* options)
{
    if (!progress.is_none()) {
        if (!PyCallable_Check(progress.ptr()))
            raise_message("progress must be a function or None, not " +
                          std::string(py::repr(progress)));
        reports->progress = progress;
        options->progress = report_progress;
    }
    options->warning = report_warning;
    options->context = reports;
}

// After the call: the progress function's exception, then the warnings.
void reports_raise(call_reports* reports)
{
    if (reports->progress_failure) throw *reports->progress_failure;
    for (const std::string& message : reports->warnings)
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 2) != 0)
            throw py::error_already_set();
}

// ---------------------------------------------------------------- paths

// A path as the library takes it, and as the exception names it.
struct file_path {
    py::object given;  // os.fspath of the argument: str or bytes
    std::string bytes; // encoded for the system; "-" becomes "./-", a file of that name
};

file_path path_of(const py::handle& path)
{
    file_path p;
    p.given = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
    if (!p.given) throw py::error_already_set();
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(p.given.ptr(), &encoded)) throw py::error_already_set();
    p.bytes = py::reinterpret_steal<py::bytes>(encoded);
    if (std::strlen(p.bytes.c_str()) != p.bytes.size())
        throw py::value_error("embedded null byte");
    if (p.bytes == "-") p.bytes = "./-";
    return p;
}

// ---------------------------------------------------------------- calls

// A record released when it goes, whatever ends the call.
struct geom_held {
    subdiv_geom g = {};
    geom_held() = default;
    geom_held(const geom_held&) = delete;
    geom_held& operator=(const geom_held&) = delete;
    ~geom_held() { subdiv_geom_free(&g); }
};

py::dict refine(const py::handle& vertices, const py::handle& faces, const py::handle& iterations,
                const py::handle& uv, const py::handle& face_uv, const py::object& progress,
                const py::dict& given_options, const py::handle& creases,
                const py::handle& corner_sharpness, const py::handle& face_material)
{
    subdiv_options options = options_of(given_options);
    call_reports reports;
    reports_attach(&reports, progress, &options);
    if (!PyIndex_Check(iterations.ptr()) || py::isinstance<py::bool_>(iterations))
        throw py::type_error("iterations must be an integer, not " +
                             std::string(py::repr(iterations)));
    const py::int_ count = py::reinterpret_steal<py::int_>(PyNumber_Index(iterations.ptr()));
    if (count > py::int_(INT32_MAX))
        raise_message("the iteration count " + std::string(py::str(py::handle(count))) + " is too large");
    if (count < py::int_(0))
        raise_message("the iteration count " + std::string(py::str(py::handle(count))) + " is negative");
    const int32_t n = count.cast<int32_t>();
    const mesh_input mesh = mesh_of(vertices, faces, uv, face_uv);
    const feature_input features = features_of(creases, corner_sharpness, face_material);
    // without sharp features or materials the last level is gathered as it
    // is made; with them the result is held whole, which carries them
    const bool whole = features_given(features, options);
    subdiv_arrays arrays = {};
    auto result = whole ? std::make_unique<geom_result>() : nullptr;
    subdiv_error error;
    subdiv_status status;
    {
        py::gil_scoped_release unlocked;
        geom_held input, output;
        feature_blocks blocks;
        status = geom_fill(mesh, &input.g, &error);
        if (status == subdiv_ok && whole) {
            status = features_attach(features, &blocks, &input.g, &error);
            if (status == subdiv_ok) status = subdiv_refine(&input.g, n, &options, &output.g, &error);
            features_detach(&input.g);
            if (status == subdiv_ok) geom_result_fill(output.g, result.get());
        } else if (status == subdiv_ok) {
            status = subdiv_refine_arrays(&input.g, n, &options, &arrays, &error);
        }
    }
    // the result is held by its arrays before anything is raised
    py::dict mesh_result;
    if (status == subdiv_ok) mesh_result = whole ? result_dict(std::move(result)) : mesh_dict(&arrays);
    reports_raise(&reports);
    if (status != subdiv_ok) raise_error(error);
    return mesh_result;
}

// Reads the file at path (in the format its content shows, or with obj
// only as OBJ), checked as a refinement of no iterations checks it; with
// sharp features, what is left of them as the tool writes them.
py::dict read_mesh(const py::handle& path_given, const py::dict& given_options, bool obj)
{
    const file_path path = path_of(path_given);
    subdiv_options options = options_of(given_options);
    call_reports reports;
    reports_attach(&reports, py::none(), &options);
    subdiv_arrays arrays = {};
    auto result = std::make_unique<geom_result>();
    bool whole = false;
    subdiv_error error;
    subdiv_status status;
    {
        py::gil_scoped_release unlocked;
        geom_held input, output;
        status = obj ? subdiv_obj_read(path.bytes.c_str(), &options, &input.g, &error)
                     : subdiv_read(path.bytes.c_str(), &options, &input.g, &error);
        whole = status == subdiv_ok && (input.g.n_creases || input.g.vertex_sharpness);
        if (whole) {
            status = subdiv_refine(&input.g, 0, &options, &output.g, &error);
            if (status == subdiv_ok) geom_result_fill(output.g, result.get());
        } else if (status == subdiv_ok) {
            status = subdiv_refine_arrays(&input.g, 0, &options, &arrays, &error);
        }
    }
    if (status != subdiv_ok) raise_error(error, path.given);
    py::dict mesh = whole ? result_dict(std::move(result)) : mesh_dict(&arrays);
    reports_raise(&reports);
    return mesh;
}

// Writes the mesh to the file at path in the format of the options.
void write_mesh(const py::handle& path_given, const py::handle& vertices,
                const py::handle& faces, const py::handle& uv, const py::handle& face_uv,
                const py::handle& normals, const py::handle& creases,
                const py::handle& corner_sharpness, const py::dict& given_options)
{
    const file_path path = path_of(path_given);
    subdiv_options options = options_of(given_options);
    call_reports reports;
    reports_attach(&reports, py::none(), &options);
    const mesh_input mesh = mesh_of(vertices, faces, uv, face_uv);
    std::optional<strided> normal;
    if (!normals.is_none()) normal = float_array(normals, 3, "normals");
    const feature_input features = features_of(creases, corner_sharpness, py::none());
    subdiv_error error;
    subdiv_status status;
    {
        py::gil_scoped_release unlocked;
        geom_held held;
        feature_blocks blocks;
        subdiv_geom& g = held.g;
        status = geom_fill(mesh, &g, &error);
        if (status == subdiv_ok && normal) {
            // a normal per vertex, written as the vertex's
            if (normal->rows != g.n_vertices)
                status = refuse(&error, "normals has %llu rows, vertices %llu",
                                (unsigned long long)normal->rows, (unsigned long long)g.n_vertices);
            if (status == subdiv_ok) status = subdiv_geom_alloc_normals(&g, &error);
            float* const axes[3] = {g.normal_x, g.normal_y, g.normal_z};
            for (int a = 0; a < 3 && status == subdiv_ok; ++a)
                status = floats_copy(*normal, uint64_t(a), "normal", axes[a], &error);
        }
        if (status == subdiv_ok) status = features_attach(features, &blocks, &g, &error);
        if (status == subdiv_ok && features_given(features, options)) {
            // sharp features are checked as refine checks them (edges of
            // faces, finite sharpness from 0), which needs the surface
            geom_held checked;
            status = subdiv_refine(&g, 0, &options, &checked.g, &error);
        }
        if (status == subdiv_ok) status = subdiv_write(path.bytes.c_str(), &g, &options, &error);
        features_detach(&g);
    }
    if (status != subdiv_ok) raise_error(error, path.given);
    reports_raise(&reports);
}

void set_error_factory(const py::object& make_error)
{
    Py_XDECREF(error_factory);
    error_factory = make_error.inc_ref().ptr();
}

} // namespace

PYBIND11_MODULE(_subdiv, module)
{
    module.doc() = "The library's calls over numpy arrays; the package subdiv wraps them.";
    module.attr("version") = subdiv_version();
    module.def("refine", &refine);
    module.def("read", &read_mesh);
    module.def("write", &write_mesh);
    module.def("set_error_factory", &set_error_factory);
}

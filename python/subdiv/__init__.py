"""Refines polygon meshes by Loop and Catmull-Clark subdivision, exactly.

    import numpy as np, subdiv
    mesh = subdiv.refine(vertices, faces, 2)   # a subdiv.Mesh
    mesh.vertices, mesh.faces                  # float32 (n, 3), int64 (m, 4)
    subdiv.write_obj("out.obj", mesh)

Every float operation happens in single precision in a fixed order, so the
same input gives the same bits on every machine and for every thread count,
and write_obj writes the bytes the command-line tool writes.

Meshes are numpy arrays: vertices an (n, 3) array of numbers, faces an
(m, k) integer array when all faces have k corners (3 to 15), else a pair
(corners, offsets) in CSR form (face f's vertices are
corners[offsets[f]:offsets[f + 1]]) or a list of index lists; indices
count from 0. Texture coordinates are an (t, 2) array uv with face_uv, the
index of each face corner's coordinate, shaped like faces.

Sharp features: creases, a pair (edges, sharpness) of a (c, 2) array of
vertex pairs and a (c,) array of sharpness values, or a dict
{(a, b): sharpness}; corner_sharpness, a sharpness per vertex. A sharpness
s is 0 smooth, 10 or more infinitely sharp, between semi-sharp (sharp for
about s levels, then smooth). Boundary edges are always sharp.

Functions: refine, read, write, read_obj, write_obj. Exceptions: Error,
FileError (and MemoryError). Every call releases the GIL while it reads,
checks, refines or writes.
"""

import os
from dataclasses import dataclass

from . import _subdiv

__version__ = _subdiv.version
__all__ = ["Mesh", "Error", "FileError", "refine", "read", "write", "read_obj", "write_obj"]


@dataclass(eq=False)
class Mesh:
    """A mesh as numpy arrays, as refine and read return it.

    vertices: float32 array (n, 3), x y z of each vertex.
    faces: int64 array (m, k) of vertex indices from 0 when all faces have
        k corners (always after an iteration: 4 for Catmull-Clark, 3 for
        Loop), else a pair (corners, offsets) of int64 arrays: face f's
        vertices are corners[offsets[f]:offsets[f + 1]].
    uv: float32 array (t, 2), u v of each texture coordinate, or None.
    face_uv: the texture coordinate of each face corner, shaped like faces
        (for a pair, the same offsets array), or None.
    normals: float32 array (n, 3), the unit normal of the limit surface at
        each vertex (refine with normals=True), or None.
    creases: the sharp edges that are not on the boundary, as a pair
        (edges, sharpness): edges an int64 array (c, 2) of vertex pairs,
        sharpness a float32 array (c,) of values above 0; None when there
        are none. After refine, what the input's sharpness leaves after
        the last iteration (each crease split in two halves, the half at
        the parent edge's first end first), as the tool writes it in
        "t crease" lines; from read, the file's "t crease" tags.
    corner_sharpness: float32 array (n,), the sharpness of each vertex
        (0 for most), or None when no vertex has any; the corners that an
        open mesh's boundary makes are not counted.
    face_material: int32 array (m,), the material of each face as refine
        was given it (each face's children keep their parent's), or None.

    Arrays that refine and read return hold the result's memory without a
    copy; it is released when the last of them goes.
    """

    vertices: object
    faces: object
    uv: object = None
    face_uv: object = None
    normals: object = None
    creases: object = None
    corner_sharpness: object = None
    face_material: object = None


class Error(ValueError):
    """A mesh, file or argument that subdiv refuses.

    The message is the library's (or names the argument), e.g.
    "in.obj: line 7: ..."; line, face and vertices are the places it
    names, counted from 1 as in the file, 0 and () where it names none.
    """

    def __init__(self, message, line=0, face=0, vertices=()):
        super().__init__(message)
        self.line = line
        self.face = face
        self.vertices = tuple(vertices)


class FileError(Error, OSError):
    """A file that cannot be opened, read or written.

    An Error and an OSError: errno, strerror and filename (the path as
    given, after os.fspath) are set, and the exception raised is also an
    instance of the OSError subclass Python uses for its errno
    (FileNotFoundError, PermissionError, IsADirectoryError, ...). str()
    gives the library's message, e.g. "cannot read 'in.obj': No such file
    or directory".
    """

    def __init__(self, message, errno=None, filename=None):
        super().__init__(message)
        self.errno = errno
        self.strerror = os.strerror(errno) if errno else None
        self.filename = filename

    def __str__(self):
        return self.args[0]


# the FileError class for each OSError subclass, made when first raised
_file_error_types = {}


def _file_error_type(errno):
    base = type(OSError(errno, ""))
    if base is OSError:
        return FileError
    if base not in _file_error_types:
        _file_error_types[base] = type("FileError", (FileError, base),
                                       {"__module__": __name__, "__doc__": FileError.__doc__})
    return _file_error_types[base]


# the library's subdiv_error_memory
_STATUS_MEMORY = 7


def _make_error(status, message, line, face, vertices, errno, filename):
    """The exception for an error record of the library (called by _subdiv)."""
    if status == _STATUS_MEMORY:
        return MemoryError(message)
    if errno:
        return _file_error_type(errno)(message, errno, filename)
    return Error(message, line, face, vertices)


_subdiv.set_error_factory(_make_error)


def _crease_pair(creases):
    """creases as the extension takes them: None or a pair (edges, sharpness)."""
    if isinstance(creases, dict):
        return (list(creases.keys()), list(creases.values())) if creases else None
    if isinstance(creases, list) and len(creases) == 2:
        return tuple(creases)
    return creases


def refine(vertices, faces, iterations, *, scheme="auto", corners="sharp", threads=None,
           uv=None, face_uv=None, progress=None, vertex_rule="edge-points", limit=False,
           normals=False, creases=None, corner_sharpness=None, crease_angle=None,
           face_material=None, uv_mode="linear"):
    """Refines a mesh iterations times; returns a Mesh.

    vertices: (n, 3) array of numbers; float32 is used as it is, float64
        (and integers) rounded to float32 first. Coordinates must be finite.
    faces: (m, k) integer array (k from 3 to 15), a pair (corners, offsets)
        of 1-D integer arrays (offsets: m + 1 entries from 0 to
        len(corners)), or a list of index sequences (3 to 15 each); vertex
        indices from 0. Faces that all have 3 or all 4 corners count as
        triangles or quads, however given.
    iterations: the count, from 0 (0 gives the mesh as given, checked).
    scheme: "auto" (Loop for a mesh of triangles only, else Catmull-Clark),
        "loop" or "catmull-clark".
    corners: "sharp" or "smooth", for the corners of open meshes (a vertex
        on one face and two boundary edges stays put when sharp).
    threads: the threads to run on, from 1; None: every core. The result
        does not depend on it.
    uv, face_uv: texture coordinates, both or neither: uv a (t, 2) array
        of numbers, face_uv the index of each face corner's coordinate,
        shaped like faces (for a pair, a pair (indices, offsets) whose
        faces have the same sizes). They are refined per face and returned
        in the Mesh.
    progress: None, or a function called as progress(iteration,
        vertices_before, vertices_after) after each iteration, on the
        calling thread. An exception it raises ends its calls and is
        raised when the refinement ends.
    vertex_rule: Catmull-Clark's vertex rule, "edge-points" (over the new
        edge points) or "classic" (over the old neighbours, as in the
        original paper); Loop ignores it.
    limit: the last level's vertices at their limit positions, where
        endless iterations would take them.
    normals: also the unit normal of the limit surface at each vertex. With
        0 iterations Catmull-Clark's limit needs quads.
    creases: None, a pair (edges, sharpness) or a dict {(a, b): sharpness}.
        edges: (c, 2) integer array, each row the vertex indices (from 0)
        of an edge of a face, either way round; sharpness: (c,) array of
        numbers (or one number for all), rounded to float32, each finite
        and from 0: 0 smooth, 10 or more infinitely sharp, between
        semi-sharp. An edge named twice takes the larger. Mesh.creases
        gives what is left after the last iteration.
    corner_sharpness: None, an (n,) array of numbers (a sharpness per
        vertex, as for creases; above 0 the vertex is a corner while its
        sharpness lasts) or a dict {vertex: sharpness} (the others 0).
    crease_angle: None, or degrees above 0 and below 180: every interior
        edge whose two faces' normals differ by more than this becomes
        infinitely sharp (s = 10; a crease named keeps the larger).
    face_material: None, or an (m,) integer array, a material per face
        from -1 (none) to 2**31 - 1; each face's children take their
        parent's, in Mesh.face_material (int32).
    uv_mode: how uv is refined, the tool's --uv=MODE: "linear" (corners
        kept, edges at their midpoints), "boundaries" (smooth inside, the
        seams and the mesh boundary linear), "corners-concave",
        "corners-junctions", "corners" (smooth, the seams too, keeping
        the corners those name) or "smooth"; README's texture section
        explains each. Without uv it changes nothing.

    With creases, corner_sharpness, crease_angle or face_material the
    result is made whole and then copied into its arrays (more memory and
    time than without, where the last level is gathered as it is made).

    Returns a Mesh: float32 vertices (n', 3), int64 faces (m', 4) for
    Catmull-Clark or (m', 3) for Loop (for 0 iterations, faces as given,
    or a pair for faces of mixed sizes), with uv and face_uv when given,
    with float32 normals (n', 3) when asked for, with creases and
    corner_sharpness when sharpness is left after the last iteration, and
    face_material when given.

    Raises Error for arrays or arguments that do not fit (before any work:
    shapes, dtypes, indices out of range, counts that do not match the
    vertices or faces), for faces that do not form a consistently oriented
    surface, with the faces and vertices it names, and for sharpness the
    library refuses: a crease whose two vertices no face joins (vertices
    names them, counted from 1), a sharpness below 0 or not finite (a
    vertex's names it). MemoryError when the system refuses the memory;
    TypeError for arguments of another type.
    """
    return Mesh(**_subdiv.refine(vertices, faces, iterations, uv, face_uv, progress,
                                 {"scheme": scheme, "corners": corners, "threads": threads,
                                  "vertex_rule": vertex_rule, "limit": limit,
                                  "normals": normals, "crease_angle": crease_angle,
                                  "uv_mode": uv_mode},
                                 _crease_pair(creases), corner_sharpness, face_material))


def read(path, *, uv=False):
    """Reads a mesh file, OBJ or PLY; returns a Mesh as refine does.

    path: str, bytes or os.PathLike ("-" is a file of that name). The
        format is told by the content: PLY (ascii, binary_little_endian or
        binary_big_endian) when the first line is "ply", else OBJ.
    uv: also read the faces' texture coordinates (Mesh.uv, Mesh.face_uv;
        OBJ's vt, PLY's face list texcoord or vertex s t, u v or
        texture_u texture_v); a file with none gives None and a
        UserWarning.

    Faces of one size come as an (m, k) array, any mix as a pair
    (corners, offsets). The faces are checked as refine checks them. An
    OBJ file's "t crease" and "t corner" tags (indices from 0) give
    Mesh.creases and Mesh.corner_sharpness as the tool writes them after
    0 iterations: each sharp edge once, in the mesh's edge order, without
    the boundary's edges and corners. Normals and materials are not read.

    Raises FileError (an OSError too) when the file cannot be opened or
    read, Error for a file that does not read as a mesh (with its line
    for OBJ, naming the element for PLY) or faces refine refuses,
    MemoryError when the system refuses the memory.
    """
    return Mesh(**_subdiv.read(path, {"uv": uv}, False))


def write(path, mesh, *, format="auto", precision=6):
    """Writes a mesh as OBJ or PLY, as the command-line tool does.

    path: str, bytes or os.PathLike ("-" is a file of that name). A
        regular file is replaced whole, or left as it was on failure.
    mesh: a Mesh, or any object with vertices and faces attributes in the
        forms refine takes, and optionally uv, face_uv, normals (an (n, 3)
        array), creases and corner_sharpness (in the forms refine takes).
    format: "auto" (PLY when the name ends in ".ply", in any case, else
        OBJ), "obj", "ply" (binary_little_endian) or "ply-ascii".
    precision: 6 (six decimals, as printf's "%f") or "shortest" (the
        fewest digits that read back to the same float32), for OBJ and
        ascii PLY.

    OBJ carries everything: texture coordinates, normals ("vn"), creases
    and corner sharpness ("t crease", "t corner"). PLY carries positions,
    faces, normals (nx ny nz) and texture coordinates (face list
    texcoord); it has no place for sharpness, which is left out. A mesh
    with creases or corner sharpness is checked as refine checks it
    first. Materials are not written.

    Raises FileError (an OSError too) when the file cannot be written,
    Error for arrays that do not fit or a format it does not know,
    MemoryError when the system refuses the memory.
    """
    _write(path, mesh, {"format": format, "precision": precision})


def _write(path, mesh, options):
    _subdiv.write(path, mesh.vertices, mesh.faces, getattr(mesh, "uv", None),
                  getattr(mesh, "face_uv", None), getattr(mesh, "normals", None),
                  _crease_pair(getattr(mesh, "creases", None)),
                  getattr(mesh, "corner_sharpness", None), options)


def read_obj(path, *, uv=False):
    """Reads a Wavefront OBJ file; returns a Mesh as refine does.

    path: str, bytes or os.PathLike ("-" is a file of that name).
    uv: also read the faces' texture coordinates (Mesh.uv, Mesh.face_uv);
        a file with none gives None and a UserWarning.

    As read, but the file is OBJ text whatever its content. Faces of one
    size, 3 or 4, come as an (m, k) array, any mix as a pair
    (corners, offsets). The faces are checked as refine checks them.

    Raises FileError (an OSError too) when the file cannot be opened or
    read, Error for text that does not read as a mesh (with its line) or
    faces refine refuses, MemoryError when the system refuses the memory.
    """
    return Mesh(**_subdiv.read(path, {"uv": uv}, True))


def write_obj(path, mesh, *, precision=6):
    """Writes a mesh as Wavefront OBJ text, as the command-line tool does.

    path: str, bytes or os.PathLike ("-" is a file of that name). A
        regular file is replaced whole, or left as it was on failure.
    mesh: a Mesh, or any object with vertices and faces attributes in the
        forms refine takes (and uv, face_uv to write texture coordinates,
        normals, an (n, 3) array, to write a normal per vertex, creases
        and corner_sharpness to write "t" tags), as write writes OBJ.
    precision: 6 (six decimals, as printf's "%f") or "shortest" (the
        fewest digits that read back to the same float32).

    Raises FileError (an OSError too) when the file cannot be written,
    Error for arrays that do not fit, MemoryError when the system refuses
    the memory.
    """
    _write(path, mesh, {"format": "obj", "precision": precision})

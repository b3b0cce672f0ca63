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

Functions: refine, read_obj, write_obj. Exceptions: Error, FileError (and
MemoryError). Every call releases the GIL while it reads, checks, refines
or writes.
"""

import os
from dataclasses import dataclass

from . import _subdiv

__version__ = _subdiv.version
__all__ = ["Mesh", "Error", "FileError", "refine", "read_obj", "write_obj"]


@dataclass(eq=False)
class Mesh:
    """A mesh as numpy arrays, as refine and read_obj return it.

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

    Arrays that refine and read_obj return hold the library's memory
    without a copy; it is released when the last of them goes.
    """

    vertices: object
    faces: object
    uv: object = None
    face_uv: object = None
    normals: object = None


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


def refine(vertices, faces, iterations, *, scheme="auto", corners="sharp", threads=None,
           uv=None, face_uv=None, progress=None, vertex_rule="edge-points", limit=False,
           normals=False):
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

    Returns a Mesh: float32 vertices (n', 3), int64 faces (m', 4) for
    Catmull-Clark or (m', 3) for Loop (for 0 iterations, faces as given,
    or a pair for faces of mixed sizes), with uv and face_uv when given,
    with float32 normals (n', 3) when asked for.

    Raises Error for arrays or arguments that do not fit (before any work)
    and for faces that do not form a consistently oriented surface, with
    the faces and vertices it names; MemoryError when the system refuses
    the memory; TypeError for arguments of another type.
    """
    return Mesh(**_subdiv.refine(vertices, faces, iterations, uv, face_uv, progress,
                                 {"scheme": scheme, "corners": corners, "threads": threads,
                                  "vertex_rule": vertex_rule, "limit": limit,
                                  "normals": normals}))


def read_obj(path, *, uv=False):
    """Reads a Wavefront OBJ file; returns a Mesh as refine does.

    path: str, bytes or os.PathLike ("-" is a file of that name).
    uv: also read the faces' texture coordinates (Mesh.uv, Mesh.face_uv);
        a file with none gives None and a UserWarning.

    Faces of one size, 3 or 4, come as an (m, k) array, any mix as a pair
    (corners, offsets). The faces are checked as refine checks them.

    Raises FileError (an OSError too) when the file cannot be opened or
    read, Error for text that does not read as a mesh (with its line) or
    faces refine refuses, MemoryError when the system refuses the memory.
    """
    return Mesh(**_subdiv.read_obj(path, {"uv": uv}))


def write_obj(path, mesh, *, precision=6):
    """Writes a mesh as Wavefront OBJ text, as the command-line tool does.

    path: str, bytes or os.PathLike ("-" is a file of that name). A
        regular file is replaced whole, or left as it was on failure.
    mesh: a Mesh, or any object with vertices and faces attributes in the
        forms refine takes (and uv, face_uv to write texture coordinates,
        normals, an (n, 3) array, to write a normal per vertex).
    precision: 6 (six decimals, as printf's "%f") or "shortest" (the
        fewest digits that read back to the same float32).

    Raises FileError (an OSError too) when the file cannot be written,
    Error for arrays that do not fit, MemoryError when the system refuses
    the memory.
    """
    _subdiv.write_obj(path, mesh.vertices, mesh.faces, getattr(mesh, "uv", None),
                      getattr(mesh, "face_uv", None), getattr(mesh, "normals", None),
                      {"precision": precision})

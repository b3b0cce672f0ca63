# Types of the package subdiv, for editors and type checkers; the
# documentation is in __init__.py (help(subdiv)).
import os
from dataclasses import dataclass
from typing import Callable, Dict, Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
__all__: list[str]

# faces as results hold them: an (m, k) table, or (corners, offsets)
Faces = Union[npt.NDArray[np.int64], Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]]
# faces as arguments: those, any integer arrays, or lists of index lists
FacesLike = Union[npt.ArrayLike, Tuple[npt.ArrayLike, npt.ArrayLike], Sequence[Sequence[int]]]
PathLike = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
# creases as results hold them: (edges (c, 2), sharpness (c,))
Creases = Tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]
# creases as arguments: a pair (edges, sharpness) or {(a, b): sharpness}
CreasesLike = Union[Tuple[npt.ArrayLike, npt.ArrayLike], Dict[Tuple[int, int], float]]
# a sharpness per vertex, or {vertex: sharpness}
CornersLike = Union[npt.ArrayLike, Dict[int, float]]

@dataclass(eq=False)
class Mesh:
    vertices: npt.NDArray[np.float32]
    faces: Faces
    uv: Optional[npt.NDArray[np.float32]] = None
    face_uv: Optional[Faces] = None
    normals: Optional[npt.NDArray[np.float32]] = None
    creases: Optional[Creases] = None
    corner_sharpness: Optional[npt.NDArray[np.float32]] = None
    face_material: Optional[npt.NDArray[np.int32]] = None

class Error(ValueError):
    line: int
    face: int
    vertices: Tuple[int, ...]
    def __init__(self, message: str, line: int = 0, face: int = 0,
                 vertices: Sequence[int] = ()) -> None: ...

class FileError(Error, OSError):
    def __init__(self, message: str, errno: Optional[int] = None,
                 filename: Union[str, bytes, None] = None) -> None: ...

def refine(vertices: npt.ArrayLike, faces: FacesLike, iterations: int, *,
           scheme: Literal["auto", "loop", "catmull-clark"] = "auto",
           corners: Literal["sharp", "smooth"] = "sharp", threads: Optional[int] = None,
           uv: Optional[npt.ArrayLike] = None, face_uv: Optional[FacesLike] = None,
           progress: Optional[Callable[[int, int, int], object]] = None,
           vertex_rule: Literal["edge-points", "classic"] = "edge-points", limit: bool = False,
           normals: bool = False, creases: Optional[CreasesLike] = None,
           corner_sharpness: Optional[CornersLike] = None,
           crease_angle: Optional[float] = None,
           face_material: Optional[npt.ArrayLike] = None,
           uv_mode: Literal["linear", "boundaries", "corners-concave", "corners-junctions",
                            "corners", "smooth"] = "linear") -> Mesh: ...
def read(path: PathLike, *, uv: bool = False) -> Mesh: ...
def write(path: PathLike, mesh: Mesh, *,
          format: Literal["auto", "obj", "ply", "ply-ascii"] = "auto",
          precision: Union[Literal[6], Literal["6", "shortest"]] = 6) -> None: ...
def read_obj(path: PathLike, *, uv: bool = False) -> Mesh: ...
def write_obj(path: PathLike, mesh: Mesh, *,
              precision: Union[Literal[6], Literal["6", "shortest"]] = 6) -> None: ...

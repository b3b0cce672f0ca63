"""PLY against a reader and writer of its own: Debian's meshio reads the
tool's PLY to the arrays of the tool's OBJ, and the tool reads the PLY that
meshio writes, binary and ascii.

Run by CTest with SUBDIV_EXE naming the tool and SUBDIV_MESHES its sample
meshes."""
import os
import subprocess

import meshio
import numpy as np
import pytest

TOOL = os.environ["SUBDIV_EXE"]
MESHES = os.environ["SUBDIV_MESHES"]


def run(tmp_path, *args):
    done = subprocess.run([TOOL, *map(str, args)], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def read_obj(path):
    """Positions as float32 (shortest numbers read back exactly) and faces."""
    points, faces = [], []
    with open(path) as text:
        for line in text:
            words = line.split()
            if words and words[0] == "v":
                points.append([np.float32(w) for w in words[1:4]])
            elif words and words[0] == "f":
                faces.append([int(w) - 1 for w in words[1:]])
    return np.array(points, dtype=np.float32), faces


def meshio_faces(mesh):
    """The faces of every cell block, in order."""
    return [list(face) for block in mesh.cells for face in block.data]


@pytest.mark.parametrize("mesh, iterations", [("cube-quad.obj", 2), ("icosahedron.obj", 2),
                                              ("polygon-open.obj", 0), ("grid-tri.obj", 1)])
def test_meshio_reads_what_the_tool_writes(tmp_path, mesh, iterations):
    source = os.path.join(MESHES, mesh)
    run(tmp_path, "--precision=shortest", source, iterations, "out.obj")
    run(tmp_path, source, iterations, "out.ply")
    points, faces = read_obj(tmp_path / "out.obj")
    written = meshio.read(tmp_path / "out.ply")
    assert written.points.dtype == np.float32
    assert np.array_equal(written.points.view(np.uint32), points.view(np.uint32))
    assert meshio_faces(written) == faces


@pytest.mark.parametrize("binary", [True, False])
def test_the_tool_reads_what_meshio_writes(tmp_path, binary):
    # the cube refined once: coordinates that float32 holds exactly
    run(tmp_path, "--precision=shortest", os.path.join(MESHES, "cube-quad.obj"), 1, "cube.obj")
    points, faces = read_obj(tmp_path / "cube.obj")
    mesh = meshio.Mesh(points.astype(np.float64), [("quad", np.array(faces, dtype=np.int32))],
                       point_data={"weight": np.arange(len(points), dtype=np.float64)})
    meshio.write(tmp_path / "meshio.ply", mesh, binary=binary)
    run(tmp_path, "--precision=shortest", "meshio.ply", 0, "back.obj")
    back_points, back_faces = read_obj(tmp_path / "back.obj")
    assert np.array_equal(back_points.view(np.uint32), points.view(np.uint32))
    assert back_faces == faces

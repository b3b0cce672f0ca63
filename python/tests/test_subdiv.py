"""The Python module against the command-line tool, its refusals, its
memory over many calls, and the README's example.

Run by CTest (Python.Module) with PYTHONPATH at the build tree's module and
SUBDIV_EXE, SUBDIV_SOURCE_DIR naming the tool and the sources."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

import subdiv

SOURCE = os.environ.get("SUBDIV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
TOOL = os.environ.get("SUBDIV_EXE", os.path.join(SOURCE, "build", "test", "subdiv"))
MESHES = os.path.join(SOURCE, "meshes")

CUBE_V = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0],
                   [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]], dtype=np.float32)
CUBE_F = np.array([[0, 3, 2, 1], [4, 5, 6, 7], [0, 1, 5, 4],
                   [1, 2, 6, 5], [2, 3, 7, 6], [3, 0, 4, 7]])


@pytest.mark.parametrize("mesh, count, options", [
    ("cube-quad.obj", 3, {}),
    ("icosahedron.obj", 2, {}),
    ("torus-tri.obj", 1, {"scheme": "catmull-clark"}),
    ("cube-open.obj", 2, {"corners": "smooth"}),
    ("grid-tri.obj", 2, {}),
    ("polygon-closed.obj", 2, {}),
    ("polygon-open.obj", 1, {"threads": 3}),
    ("cube-quad.obj", 0, {}),
])
def test_write_of_refine_is_the_tool_output(tmp_path, mesh, count, options):
    vertices, faces = subdiv.read_obj(os.path.join(MESHES, mesh))
    refined = subdiv.refine(vertices, faces, count, **options)
    ours = tmp_path / "python.obj"
    subdiv.write_obj(str(ours), *refined)
    theirs = tmp_path / "tool.obj"
    args = [f"--{k}={v}" for k, v in options.items()]
    subprocess.run([TOOL, *args, os.path.join(MESHES, mesh), str(count), str(theirs)],
                   check=True, capture_output=True)
    assert ours.read_bytes() == theirs.read_bytes()


def test_arrays_of_either_width_and_lists_of_faces_give_the_same_mesh():
    # float64 is rounded to float32 first; lists of index lists are faces too
    v32, f32 = subdiv.refine(CUBE_V, CUBE_F, 2)
    v64, f64 = subdiv.refine(CUBE_V.astype(np.float64), CUBE_F.tolist(), 2)
    assert v32.dtype == np.float32 and f32.dtype == np.int64
    assert v32.shape == (98, 3) and f32.shape == (96, 4)
    assert np.array_equal(v32, v64) and np.array_equal(f32, f64)
    # a face cut in two: 8 vertices, 7 faces and 13 edges give as many points
    mixed, quads = subdiv.refine(CUBE_V, [[0, 3, 2], [0, 2, 1], *CUBE_F[1:].tolist()], 1)
    assert mixed.shape == (8 + 7 + 13, 3) and quads.shape == (3 + 3 + 5 * 4, 4)


def error_of(call):
    with pytest.raises(subdiv.Error) as raised:
        call()
    assert isinstance(raised.value, ValueError)
    return raised.value


@pytest.mark.parametrize("call, text, line, face, vertices", [
    # the library's refusals, with the places they name
    (lambda p: subdiv.refine(CUBE_V, [[0, 1, 2], [0, 1, 3]], 1),
     "faces 1 and 2 both run from vertex 1 to vertex 2", 0, 2, (1, 2)),
    (lambda p: subdiv.refine(CUBE_V, np.vstack([CUBE_F, [[0, 1, 6, 7]]]), 1),
     "lies on 3 faces", 0, 1, (1, 2)),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, scheme="loop"),
     "refines triangles only", 0, 1, ()),
    (lambda p: subdiv.read_obj(os.path.join(p, "missing.obj")), "missing.obj", 0, 0, ()),
    (lambda p: subdiv.read_obj(p + "/bad.obj"), "line 2", 2, 0, ()),
    (lambda p: subdiv.write_obj(p + "/no/such/folder/out.obj", CUBE_V, CUBE_F),
     "cannot write", 0, 0, ()),
    # arrays and arguments refused before any work
    (lambda p: subdiv.refine(CUBE_V[:, :2], CUBE_F, 1), "(n, 3)", 0, 0, ()),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F.astype(np.float32), 1), "integers", 0, 0, ()),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F - 1, 1), "face 1 names vertex index -1", 0, 0, ()),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F + 3, 1), "face 2 names vertex index 8", 0, 0, ()),
    (lambda p: subdiv.refine(np.where(CUBE_V > 0, np.nan, 0), CUBE_F, 1), "finite", 0, 0, ()),
    (lambda p: subdiv.refine(CUBE_V, [[0, 1]], 1), "3 to 15", 0, 0, ()),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, -1), "negative", 0, 0, ()),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, scheme="butterfly"), "scheme", 0, 0, ()),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, threads=0), "threads", 0, 0, ()),
    (lambda p: subdiv.write_obj(p + "/out.obj", CUBE_V, CUBE_F, precision="9"), "precision",
     0, 0, ()),
])
def test_refusals_raise_subdiv_error_with_their_places(tmp_path, call, text, line, face,
                                                       vertices):
    (tmp_path / "bad.obj").write_text("v 0 0 0\nv 1 x 0\n")
    error = error_of(lambda: call(str(tmp_path)))
    assert text in str(error)
    assert (error.line, error.face, error.vertices) == (line, face, vertices)


def test_ten_thousand_calls_hold_no_more_memory():
    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(200):
        subdiv.refine(CUBE_V, CUBE_F, 2)
    before = resident()
    for _ in range(10000):
        subdiv.refine(CUBE_V, CUBE_F, 2)
    assert resident() - before < 4 << 20


def test_readme_example_prints_what_it_says():
    with open(os.path.join(SOURCE, "README.md")) as readme:
        section = readme.read().split("## From Python", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    printed = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                             text=True).stdout
    expected = re.search(r"# prints (.*)", code).group(1)
    assert printed.strip() == expected.strip()

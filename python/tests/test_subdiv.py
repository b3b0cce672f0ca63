"""The Python package against the command-line tool, its refusals, its
memory over many calls, its stubs, meshio's meshes, and the README's example.

Run by CTest (Python.Module) on the build tree's package and by CI on the
package pip installed, with SUBDIV_EXE and SUBDIV_SOURCE_DIR naming the tool
and the sources, and SUBDIV_PACKAGE_DIR the package meant."""

import ast
import dataclasses
import errno
import inspect
import os
import pathlib
import re
import subprocess
import sys
import threading

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
CUBE_UV = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype=np.float32)
CUBE_FACE_UV = np.tile(np.arange(4), (6, 1))
CUBE = subdiv.Mesh(CUBE_V, CUBE_F)


@pytest.mark.parametrize("mesh, count, options", [
    ("cube-quad.obj", 3, {}),
    ("icosahedron.obj", 2, {}),
    ("torus-tri.obj", 1, {"scheme": "catmull-clark"}),
    ("cube-open.obj", 2, {"corners": "smooth"}),
    ("grid-tri.obj", 2, {"precision": "shortest"}),
    ("polygon-closed.obj", 2, {}),
    ("polygon-open.obj", 1, {"threads": 3}),
    ("polygon-open.obj", 0, {}),
    ("cube-quad.obj", 0, {}),
    ("cube-textured.obj", 2, {"uv": True}),
    ("grid-textured.obj", 2, {"uv": True, "threads": 2}),
    ("grid-textured.obj", 1, {"uv": True, "scheme": "catmull-clark", "precision": "shortest"}),
    ("cube-quad.obj", 2, {"limit": True, "normals": True, "vertex_rule": "classic"}),
    ("cube-quad.obj", 0, {"normals": True}),
    ("icosahedron.obj", 1, {"limit": True, "normals": True}),
    ("polygon-open.obj", 1, {"normals": True, "threads": 2}),
    ("cube-textured.obj", 1, {"uv": True, "normals": True}),
    # sharp features from the files' t tags, kept in the Mesh between the calls
    ("cube-creased.obj", 3, {}),
    ("cube-creased.obj", 0, {}),
    ("cube-creased.obj", 2, {"limit": True, "normals": True, "precision": "shortest"}),
    ("grid-creased.obj", 2, {"corners": "smooth"}),
    ("grid-tri-creased.obj", 3, {"threads": 2}),
    ("icosahedron-creased.obj", 2, {"scheme": "catmull-clark"}),
    ("polygon-creased.obj", 2, {"crease_angle": 50}),
    ("uv-seam-creased.obj", 2, {"uv": True}),
    # texture coordinate modes, by the seam samples
    ("uv-seam-creased.obj", 2, {"uv": True, "uv_mode": "boundaries"}),
    ("uv-cube-seam.obj", 2, {"uv": True, "uv_mode": "smooth", "vertex_rule": "classic"}),
    ("uv-junction.obj", 1, {"uv": True, "uv_mode": "corners-junctions", "threads": 2}),
    ("uv-ring-abab.obj", 2, {"uv": True, "uv_mode": "corners-concave"}),
    ("uv-dart.obj", 1, {"uv": True, "uv_mode": "corners", "format": "ply"}),
    ("cube-quad.obj", 4, {"crease_angle": 89.5}),
    ("torus-tri.obj", 1, {"crease_angle": 20, "precision": "shortest"}),
    # PLY out, as the tool writes it
    ("cube-creased.obj", 1, {"format": "ply"}),
    ("cube-textured.obj", 1, {"uv": True, "normals": True, "format": "ply-ascii"}),
    ("grid-textured.obj", 2, {"uv": True, "format": "ply"}),
])
def test_write_of_refine_is_the_tool_output(tmp_path, mesh, count, options):
    options = dict(options)
    uv, precision = options.pop("uv", False), options.pop("precision", 6)
    uv_mode = options.get("uv_mode", "linear")
    file_format = options.pop("format", "obj")
    read = subdiv.read(os.path.join(MESHES, mesh), uv=uv)
    assert (read.uv is not None) == uv
    assert (read.creases is not None) == ("creased" in mesh)
    refined = subdiv.refine(read.vertices, read.faces, count, uv=read.uv, face_uv=read.face_uv,
                            creases=read.creases, corner_sharpness=read.corner_sharpness,
                            **options)
    ours = tmp_path / "python.out"
    subdiv.write(ours, refined, format=file_format, precision=precision)
    theirs = tmp_path / "tool.out"
    args = [f"--{k.replace('_', '-')}" + ("" if v is True else f"={v}")
            for k, v in options.items() if k != "uv_mode"] + [f"--uv={uv_mode}"] * uv
    subprocess.run([TOOL, *args, f"--precision={precision}", f"--format={file_format}",
                    os.path.join(MESHES, mesh), str(count), str(theirs)],
                   check=True, capture_output=True)
    assert ours.read_bytes() == theirs.read_bytes()


def test_normals_are_unit_rows_pointing_outward():
    assert subdiv.refine(CUBE_V, CUBE_F, 1).normals is None
    mesh = subdiv.refine(CUBE_V, CUBE_F, 2, limit=True, normals=True)
    assert mesh.normals.dtype == np.float32 and mesh.normals.shape == mesh.vertices.shape
    assert np.allclose(np.linalg.norm(mesh.normals, axis=1), 1, atol=1e-6)
    assert (np.sum((mesh.vertices - 0.5) * mesh.normals, axis=1) > 0).all()


def test_every_form_of_the_arrays_gives_the_same_mesh():
    expected = subdiv.refine(CUBE_V, CUBE_F, 2, uv=CUBE_UV, face_uv=CUBE_FACE_UV)
    assert expected.vertices.dtype == np.float32 and expected.faces.dtype == np.int64
    assert expected.vertices.shape == (98, 3) and expected.faces.shape == (96, 4)
    assert expected.face_uv.shape == (96, 4) and expected.uv.dtype == np.float32
    pair = (CUBE_F.ravel(), np.arange(0, 25, 4))
    for vertices, faces, uv, face_uv in [
            (CUBE_V.astype(np.float64), CUBE_F.tolist(), CUBE_UV.tolist(), CUBE_FACE_UV.tolist()),
            (np.asfortranarray(CUBE_V), CUBE_F.astype(np.uint32), CUBE_UV,
             CUBE_FACE_UV.astype(">i8")),
            (CUBE_V.astype(np.int16), pair, CUBE_UV.astype(np.float64),
             (CUBE_FACE_UV.ravel().astype(np.int32), pair[1])),
            (np.repeat(CUBE_V, 2, axis=0)[::2], CUBE_F.T.copy().T, CUBE_UV, CUBE_FACE_UV)]:
        mesh = subdiv.refine(vertices, faces, 2, uv=uv, face_uv=face_uv)
        for field in ("vertices", "faces", "uv", "face_uv"):
            assert np.array_equal(getattr(mesh, field), getattr(expected, field)), field
    # faces of mixed sizes come back as a pair (corners, offsets), and go in so
    mixed = [[0, 3, 2], [0, 2, 1], *CUBE_F[1:].tolist()]
    corners, offsets = subdiv.refine(CUBE_V, mixed, 0).faces
    assert offsets.tolist() == [0, 3, 6, 10, 14, 18, 22, 26]
    assert corners.tolist() == [i for face in mixed for i in face]
    assert subdiv.refine(CUBE_V, [[0, 1, 2, 3, 4], [4, 3, 2, 1, 0]], 0).faces.shape == (2, 5)
    once = subdiv.refine(CUBE_V, (corners, offsets), 1)
    assert once.vertices.shape == (8 + 7 + 13, 3) and once.faces.shape == (3 + 3 + 5 * 4, 4)


CUBE_EDGES = np.array([[0, 1], [1, 2], [2, 3], [3, 0], [4, 5], [5, 6], [6, 7], [7, 4],
                       [0, 4], [1, 5], [2, 6], [3, 7]])


@pytest.mark.parametrize("options", [
    {},
    {"uv": CUBE_UV, "face_uv": CUBE_FACE_UV, "threads": 2},
    {"limit": True, "normals": True, "vertex_rule": "classic"},
    {"scheme": "loop", "faces": np.vstack([CUBE_F[:, :3], CUBE_F[:, [0, 2, 3]]])},
])
def test_sharp_features_in_every_form_and_materials_through_refine(options):
    options = dict(options)
    faces = options.pop("faces", CUBE_F)
    count = 3 if "scheme" in options else 2
    smooth = subdiv.refine(CUBE_V, faces, count, **options)
    # materials alone change nothing else: each face's children keep its material
    material = np.arange(len(faces)) - 1
    carried = subdiv.refine(CUBE_V, faces, count, face_material=material, **options)
    assert carried.face_material.dtype == np.int32 and smooth.face_material is None
    assert np.array_equal(carried.face_material, np.repeat(material, 4 ** count))
    assert carried.creases is None and carried.corner_sharpness is None
    for field in ("vertices", "faces", "uv", "face_uv", "normals"):
        assert np.array_equal(getattr(carried, field), getattr(smooth, field)), field
    # every edge infinitely sharp, however said, keeps the points on the cube's faces
    forms = [{"creases": (CUBE_EDGES, np.full(12, 10.0))},
             {"creases": (CUBE_EDGES[:, ::-1].tolist(), 12)},
             {"creases": {tuple(e): 10 for e in CUBE_EDGES}},
             {"crease_angle": 60.0}]
    results = [subdiv.refine(CUBE_V, faces, count, **form, **options) for form in forms]
    for sharp in results:
        assert np.array_equal(sharp.vertices, results[0].vertices)
        assert np.array_equal(sharp.creases[0], results[0].creases[0])
        assert ((sharp.vertices == 0) | (sharp.vertices == 1)).any(axis=1).all()
    assert results[0].creases[1].dtype == np.float32
    assert len(results[0].creases[0]) == 12 * 2 ** count
    # a corner's sharpness, as an array or a dict, decays by one a level
    corner = {6: 2.5}
    as_dict = subdiv.refine(CUBE_V, faces, 1, corner_sharpness=corner, **options)
    as_array = subdiv.refine(CUBE_V, faces, 1, corner_sharpness=[0, 0, 0, 0, 0, 0, 2.5, 0],
                             **options)
    assert np.array_equal(as_dict.vertices, as_array.vertices)
    assert np.flatnonzero(as_dict.corner_sharpness).tolist() == [6]
    assert as_dict.corner_sharpness[6] == 1.5 and as_dict.creases is None
    assert np.array_equal(as_dict.vertices[6], CUBE_V[6]) or options.get("limit")


@pytest.mark.parametrize("name, file_format, precision", [
    ("out.ply", "auto", 6),
    ("OUT.PLY", "auto", 6),
    ("out.obj", "ply", 6),
    ("out.ply", "ply-ascii", "shortest"),
    ("out.ply", "obj", "shortest"),
    ("out.obj", "auto", "shortest"),
])
def test_read_gives_back_what_write_wrote_in_either_format(tmp_path, name, file_format,
                                                           precision):
    given = subdiv.refine(CUBE_V, CUBE_F, 2, uv=CUBE_UV, face_uv=CUBE_FACE_UV, normals=True,
                          creases=(CUBE_EDGES[:4], 3.5), corner_sharpness={7: 3})
    subdiv.write(tmp_path / name, given, format=file_format, precision=precision)
    is_ply = file_format.startswith("ply") or (file_format == "auto" and name.endswith("PLY"))
    is_ply = is_ply or (file_format == "auto" and name.endswith(".ply"))
    assert (tmp_path / name).read_bytes().startswith(b"ply\n") == is_ply
    back = subdiv.read(tmp_path / name, uv=True)
    assert np.array_equal(back.vertices, given.vertices) == (precision == "shortest" or is_ply)
    assert np.allclose(back.vertices, given.vertices, atol=1e-6)
    assert np.array_equal(back.faces, given.faces)
    # PLY numbers the texture coordinates anew: each corner keeps its u v
    assert np.allclose(back.uv[back.face_uv], given.uv[given.face_uv], atol=1e-6)
    # the tags are OBJ's: PLY leaves the sharpness out
    if is_ply:
        assert back.creases is None and back.corner_sharpness is None
    else:
        # read lists each edge once in the mesh's edge order
        def edges(creases):
            return sorted((*sorted(e), s) for e, s in zip(creases[0].tolist(), creases[1]))
        assert edges(back.creases) == edges(given.creases) and len(given.creases[0]) == 16
        assert np.array_equal(back.corner_sharpness, given.corner_sharpness)


def test_paths_of_every_kind_and_a_file_named_dash(tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    mesh = subdiv.refine(CUBE_V, CUBE_F, 1)
    for path in ["-", b"bytes.obj", tmp_path / "path.obj"]:
        subdiv.write_obj(path, mesh, precision="shortest")
        back = subdiv.read_obj(path)
        assert np.array_equal(back.vertices, mesh.vertices)
        assert np.array_equal(back.faces, mesh.faces)
    assert (tmp_path / "-").is_file() and capfd.readouterr().out == ""
    with pytest.warns(UserWarning, match="the faces give no texture coordinates"):
        assert subdiv.read_obj("-", uv=True).uv is None


def test_progress_reports_each_iteration_on_the_calling_thread():
    calls = []
    subdiv.refine(CUBE_V, CUBE_F, 3,
                  progress=lambda *counts: calls.append((threading.get_ident(), *counts)))
    me = threading.get_ident()
    assert calls == [(me, 1, 8, 26), (me, 2, 26, 98), (me, 3, 98, 386)]

    def stop(*counts):
        calls.append(counts)
        raise KeyError("stop")

    calls.clear()
    with pytest.raises(KeyError, match="stop"):
        subdiv.refine(CUBE_V, CUBE_F, 3, progress=stop)
    assert calls == [(1, 8, 26)]


def error_of(kind, call):
    with pytest.raises(kind) as raised:
        call()
    return raised.value


@pytest.mark.parametrize("call, text, places", [
    # the library's refusals, with the places they name
    (lambda p: subdiv.refine(CUBE_V, [[0, 1, 2], [0, 1, 3]], 1),
     "faces 1 and 2 both run from vertex 1 to vertex 2", (0, 2, (1, 2))),
    (lambda p: subdiv.refine(CUBE_V, np.vstack([CUBE_F, [[0, 1, 6, 7]]]), 1),
     "lies on 3 faces", (0, 1, (1, 2))),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, scheme="loop"), "refines triangles only",
     (0, 1, ())),
    (lambda p: subdiv.refine(CUBE_V, [[0, 1, 2, 3], [4, 5, 6]], 0, normals=True), "need quads",
     (0, 2, ())),
    (lambda p: subdiv.read_obj(p / "bad.obj"), "line 2", (2, 0, ())),
    # files the system refuses: FileError, an OSError of the errno's kind
    (lambda p: subdiv.read_obj(p / "missing.obj"), "missing.obj", FileNotFoundError),
    (lambda p: subdiv.read_obj(os.fsencode(p)), "Is a directory", IsADirectoryError),
    (lambda p: subdiv.write_obj(str(p / "no" / "out.obj"), CUBE), "cannot write",
     FileNotFoundError),
    (lambda p: subdiv.write_obj(p, CUBE), "cannot write", IsADirectoryError),
    # arrays and arguments refused before any work
    (lambda p: subdiv.refine(CUBE_V[:, :2], CUBE_F, 1), "(n, 3)", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F.astype(np.float32), 1), "integers", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F - 1, 1), "face 1 names vertex index -1", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F + 3, 1), "face 2 names vertex index 8", (0, 0, ())),
    (lambda p: subdiv.refine(np.where(CUBE_V > 0, np.nan, 0), CUBE_F, 1), "finite", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V * np.float64(1e300), CUBE_F, 1), "finite", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, [[0, 1]], 1), "3 to 15", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, (np.arange(8), np.array([0, 4, 9])), 1), "end at 9",
     (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, -1), "negative", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, scheme="butterfly"), "scheme", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, threads=0), "threads", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, uv=CUBE_UV), "both or neither", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, uv=CUBE_UV, face_uv=CUBE_FACE_UV + 1),
     "face_uv: face 1 names texture coordinate index 4", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, uv=CUBE_UV, face_uv=CUBE_FACE_UV[:5]),
     "face_uv has 5 faces", (0, 0, ())),
    (lambda p: subdiv.write_obj(p / "out.obj", CUBE, precision=9), "precision", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, vertex_rule="loop"), "vertex_rule", (0, 0, ())),
    (lambda p: subdiv.write_obj(p / "out.obj", subdiv.Mesh(CUBE_V, CUBE_F, normals=CUBE_V[:7])),
     "normals has 7 rows", (0, 0, ())),
    # sharp features and materials: the library's refusals, then the arrays'
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=([[0, 1], [0, 6]], [1, 2])),
     "crease 2 joins vertex 1 and vertex 7, but no face has that edge", (0, 0, (1, 7))),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases={(0, 1): -1}), "sharpness -1",
     (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=(CUBE_EDGES, np.float64(1e39))),
     "crease 1 has sharpness inf", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, corner_sharpness={3: np.nan}),
     "vertex 4 has sharpness nan", (0, 0, (4,))),
    (lambda p: subdiv.write(p / "out.obj", subdiv.Mesh(CUBE_V, CUBE_F, creases=([[1, 3]], 1))),
     "no face has that edge", (0, 0, (2, 4))),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=([[0, 8]], 1)),
     "crease 1 names vertex index 8, but the indices run from 0 to 7", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=([[0, 1]], [1, 2])),
     "1 edges, but 2 sharpness values", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=([0, 1], 1)), "(c, 2)", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=([[0.0, 1.0]], 1)), "integers",
     (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=CUBE_EDGES), "pair", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, creases=(CUBE_EDGES, "sharp")), "numbers",
     (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, corner_sharpness=np.ones(7)),
     "corner_sharpness has 7 entries, vertices 8", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, corner_sharpness={-1: 1}),
     "corner_sharpness names vertex index -1", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, crease_angle=180), "crease_angle", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, crease_angle="30"), "crease_angle", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, face_material=[0] * 5),
     "face_material has 5 entries, faces 6", (0, 0, ())),
    (lambda p: subdiv.refine(CUBE_V, CUBE_F, 1, face_material=[0, 0, -2, 0, 0, 0]),
     "face 3 has material -2", (0, 0, ())),
    # read and write in either format
    (lambda p: subdiv.write(p / "out.obj", CUBE, format="stl"), "format", (0, 0, ())),
    (lambda p: subdiv.read(p / "bad.ply"), "bad.ply: face 1: vertex index 5 is out of range",
     (0, 1, ())),
    (lambda p: subdiv.read(p / "missing.ply"), "missing.ply", FileNotFoundError),
    (lambda p: subdiv.write(p / "no" / "out.ply", CUBE), "cannot write", FileNotFoundError),
])
def test_refusals_raise_their_error_with_their_places(tmp_path, call, text, places):
    (tmp_path / "bad.obj").write_text("v 0 0 0\nv 1 x 0\n")
    (tmp_path / "bad.ply").write_text(
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
        "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
        "end_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 5\n")
    if isinstance(places, tuple):
        error = error_of(subdiv.Error, lambda: call(tmp_path))
        assert isinstance(error, ValueError) and not isinstance(error, OSError)
        assert (error.line, error.face, error.vertices) == places
    else:
        error = error_of(places, lambda: call(tmp_path))
        assert isinstance(error, subdiv.FileError) and isinstance(error, subdiv.Error)
        assert error.errno == {FileNotFoundError: errno.ENOENT,
                               IsADirectoryError: errno.EISDIR}[places]
        assert error.strerror == os.strerror(error.errno)
        assert os.fsdecode(error.filename).startswith(str(tmp_path))
    assert text in str(error)


def test_memory_the_system_refuses_raises_memory_error():
    # a million million vertices, all the same (a view of one row)
    code = ("import resource, numpy as np, subdiv\n"
            "resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))\n"
            "vertices = np.broadcast_to(np.zeros(3, np.float32), (1 << 40, 3))\n"
            "try:\n    subdiv.refine(vertices, [[0, 1, 2]], 1)\n"
            "except MemoryError as error:\n    print('MemoryError:', error)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if run.returncode != 0 and "subdiv: out of memory" in run.stderr:
        pytest.skip("this build of the library ends the run on memory the system refuses")
    assert run.stdout.startswith("MemoryError:"), run.stderr


def test_ten_thousand_calls_hold_no_more_memory():
    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def stop(level, *counts):
        if level == 2:
            raise KeyError("stop")

    def call(i):
        # one array of the result outlives the rest until the next call;
        # every other call ends in its progress function's exception; half
        # are held whole and copied, carrying creases
        try:
            return subdiv.refine(CUBE_V, CUBE_F, 2, uv=CUBE_UV, face_uv=CUBE_FACE_UV,
                                 creases=(CUBE_EDGES, 2) if i % 4 < 2 else None,
                                 progress=stop if i % 2 else None).face_uv
        except KeyError:
            return kept

    kept = None
    for i in range(200):
        kept = call(i)
    before = resident()
    for i in range(10000):
        kept = call(i)
    assert resident() - before < 4 << 20 and kept.shape == (96, 4)


def test_readme_example_prints_what_it_says(tmp_path):
    with open(os.path.join(SOURCE, "README.md")) as readme:
        section = readme.read().split("## From Python", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    printed = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                             text=True, cwd=tmp_path).stdout
    expected = re.findall(r"# prints (.*)", code)
    assert printed.splitlines() == expected
    assert (tmp_path / "sharp.ply").read_bytes().startswith(b"ply\n")


def test_stubs_give_each_function_its_parameters():
    stub = ast.parse(pathlib.Path(subdiv.__file__).with_suffix(".pyi").read_text())
    functions = {node.name: node.args for node in stub.body if isinstance(node, ast.FunctionDef)}
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    assert sorted([*functions, *classes]) == sorted(subdiv.__all__)
    for name, args in functions.items():
        defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
        stubbed = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(args.args, defaults)]
        stubbed += [(a.arg, "KEYWORD_ONLY", d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
        stubbed = [(a, kind, inspect.Parameter.empty if d is None else ast.literal_eval(d))
                   for a, kind, d in stubbed]
        actual = [(p.name, p.kind.name, p.default)
                  for p in inspect.signature(getattr(subdiv, name)).parameters.values()]
        assert stubbed == actual, name
    fields = [node.target.id for node in classes["Mesh"].body if isinstance(node, ast.AnnAssign)]
    assert fields == [field.name for field in dataclasses.fields(subdiv.Mesh)]


def test_meshio_mesh_refined_and_written_back(tmp_path):
    meshio = pytest.importorskip("meshio")
    meshio.write(tmp_path / "cube.vtk", meshio.Mesh(CUBE_V.astype(np.float64), [("quad", CUBE_F)]))
    given = meshio.read(tmp_path / "cube.vtk")
    mesh = subdiv.refine(given.points, given.cells_dict["quad"], 2)
    meshio.write(tmp_path / "fine.vtk", meshio.Mesh(mesh.vertices, [("quad", mesh.faces)]))
    back = meshio.read(tmp_path / "fine.vtk")
    expected = subdiv.refine(CUBE_V, CUBE_F, 2)
    assert np.array_equal(back.points, expected.vertices)
    assert np.array_equal(back.cells_dict["quad"], expected.faces)


def test_the_package_under_test_is_the_one_meant():
    # set by CTest (the build tree's package) and CI (the installed one)
    meant = os.environ.get("SUBDIV_PACKAGE_DIR")
    if not meant:
        pytest.skip("SUBDIV_PACKAGE_DIR is not set")
    assert os.path.samefile(os.path.dirname(subdiv.__file__), meant)

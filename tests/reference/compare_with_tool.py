#!/usr/bin/env python3
"""Runs the subdiv executable and the reference model on the sample meshes and
fails unless every output byte agrees.

    compare_with_tool.py SUBDIV_EXE MESH_FOLDER [--cases=closed|open|polygon|uv|creases|classic|uvmodes|all]

The closed cases (the default) are closed meshes of triangles only or quads
only; open adds meshes with boundaries under both corner modes, polygon meshes
with faces of other sizes and a triangle mesh under Catmull-Clark, uv the
texture coordinates (--uv), uvmodes the modes of --uv=MODE. creases covers
sharp and semi-sharp edges and vertices (t tags and --crease-angle), classic
--vertex-rule=classic; all runs every list but uvmodes.

With --uv the vt lines are numbered as the model numbers them (see
texcoord_lines in subdivide_reference.py) and the whole output must agree
byte for byte; where the model gives one coordinate of the input two values
(it then writes extra vt lines), the tool may number its vt lines as it
likes: the v lines, the vertex indices of the f lines and the t lines must
agree byte for byte, and each face corner's vt text must be the model's
texture coordinate as the tool prints numbers.
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import subdivide_reference as reference  # noqa: E402

CASES = [
    ("cube-quad.obj", 3),
    ("tetrahedron.obj", 3),
    ("octahedron.obj", 2),
    ("icosahedron.obj", 2),
    ("torus-quad.obj", 2),
    ("torus-tri.obj", 2),
]

# (mesh, iterations, tool options); corners are sharp unless told otherwise.
OPEN_CASES = [
    ("grid-quad.obj", 1, []),
    ("grid-quad.obj", 3, []),
    ("grid-quad.obj", 3, ["--corners=smooth"]),
    ("grid-quad.obj", 2, ["--precision=shortest"]),
    ("grid-tri.obj", 1, ["--corners=sharp"]),
    ("grid-tri.obj", 3, []),
    ("grid-tri.obj", 3, ["--corners=smooth"]),
    ("cylinder-open.obj", 2, []),
    ("cylinder-open.obj", 2, ["--corners=smooth"]),
    ("cube-open.obj", 3, []),
    ("cube-open.obj", 2, ["--corners=smooth"]),
]

POLYGON_CASES = [
    ("polygon-closed.obj", 1, []),
    ("polygon-closed.obj", 3, []),
    ("polygon-open.obj", 1, []),
    ("polygon-open.obj", 3, []),
    ("polygon-open.obj", 2, ["--corners=smooth"]),
    ("polygon-open.obj", 3, ["--precision=shortest", "--corners=smooth"]),
    ("icosahedron.obj", 2, ["--scheme=catmull-clark"]),
    ("grid-tri.obj", 2, ["--scheme=catmull-clark", "--corners=smooth"]),
    ("torus-tri.obj", 1, ["--scheme=loop"]),
]

UV_CASES = [
    ("cube-textured.obj", 1, ["--uv"]),
    ("cube-textured.obj", 3, ["--uv"]),
    ("cube-textured.obj", 2, []),  # without --uv the output has no vt
    ("grid-textured.obj", 2, ["--uv"]),
    ("grid-textured.obj", 2, ["--uv", "--corners=smooth"]),
    ("grid-textured.obj", 2, ["--uv", "--scheme=catmull-clark"]),
    ("grid-textured.obj", 2, ["--uv", "--precision=shortest"]),
]

# Sharpness: semi-sharp values that decay through several levels (0.3, 1,
# 1.5, 2.5, 10 and more), vertex tags, tags that set the corner mode and the
# command line overriding them, crease angles; both schemes, closed, open and
# polygon meshes, 0 to 4 iterations.
CREASE_CASES = [
    ("cube-creased.obj", 0, []),
    ("cube-creased.obj", 1, []),
    ("cube-creased.obj", 2, []),
    ("cube-creased.obj", 3, []),
    ("cube-creased.obj", 4, []),
    ("cube-creased.obj", 0, ["--precision=shortest"]),
    ("cube-creased.obj", 3, ["--precision=shortest"]),
    ("cube-creased.obj", 2, ["--crease-angle=45"]),
    ("cube-quad.obj", 3, ["--crease-angle=60"]),
    ("cube-quad.obj", 0, ["--crease-angle=60"]),
    ("cube-quad.obj", 2, ["--crease-angle=120"]),
    ("torus-quad.obj", 2, ["--crease-angle=20"]),
    ("grid-creased.obj", 0, []),
    ("grid-creased.obj", 1, []),
    ("grid-creased.obj", 3, []),
    ("grid-creased.obj", 3, ["--corners=sharp"]),
    ("grid-creased.obj", 2, ["--corners=smooth", "--precision=shortest"]),
    ("grid-creased.obj", 4, []),
    ("cube-open.obj", 2, ["--crease-angle=45"]),
    ("cube-open.obj", 2, ["--crease-angle=45", "--corners=smooth"]),
    ("cylinder-open.obj", 2, ["--crease-angle=45", "--corners=smooth"]),
    ("polygon-creased.obj", 0, []),
    ("polygon-creased.obj", 1, []),
    ("polygon-creased.obj", 3, []),
    ("polygon-creased.obj", 2, ["--precision=shortest"]),
    ("polygon-closed.obj", 2, ["--crease-angle=30"]),
    ("polygon-open.obj", 2, ["--crease-angle=21"]),
    ("polygon-open.obj", 2, ["--crease-angle=30", "--corners=smooth"]),
    ("icosahedron-creased.obj", 0, []),
    ("icosahedron-creased.obj", 1, []),
    ("icosahedron-creased.obj", 2, []),
    ("icosahedron-creased.obj", 4, []),
    ("icosahedron-creased.obj", 3, ["--precision=shortest"]),
    ("icosahedron-creased.obj", 2, ["--scheme=catmull-clark"]),
    ("icosahedron.obj", 2, ["--crease-angle=40"]),
    ("torus-tri.obj", 1, ["--crease-angle=25"]),
    ("grid-tri-creased.obj", 1, []),
    ("grid-tri-creased.obj", 3, []),
    ("grid-tri-creased.obj", 3, ["--corners=sharp"]),
    ("grid-tri-creased.obj", 0, []),
    ("grid-tri-creased.obj", 2, ["--corners=smooth", "--scheme=catmull-clark"]),
    ("cube-textured.obj", 2, ["--uv", "--crease-angle=60"]),
    ("grid-textured.obj", 2, ["--uv", "--crease-angle=5", "--precision=shortest"]),
]

# --vertex-rule=classic on Catmull-Clark meshes, with and without sharpness
# (Loop takes the option and ignores it).
CLASSIC_CASES = [
    ("cube-quad.obj", 1, ["--vertex-rule=classic"]),
    ("cube-quad.obj", 3, ["--vertex-rule=classic"]),
    ("cube-quad.obj", 2, ["--vertex-rule=edge-points"]),
    ("torus-quad.obj", 2, ["--vertex-rule=classic"]),
    ("torus-quad.obj", 1, ["--vertex-rule=classic", "--precision=shortest"]),
    ("grid-quad.obj", 3, ["--vertex-rule=classic"]),
    ("grid-quad.obj", 2, ["--vertex-rule=classic", "--corners=smooth"]),
    ("polygon-closed.obj", 2, ["--vertex-rule=classic"]),
    ("polygon-open.obj", 2, ["--vertex-rule=classic"]),
    ("grid-tri.obj", 2, ["--vertex-rule=classic", "--scheme=catmull-clark"]),
    ("icosahedron.obj", 2, ["--vertex-rule=classic"]),
    ("cube-creased.obj", 3, ["--vertex-rule=classic"]),
    ("grid-creased.obj", 2, ["--vertex-rule=classic"]),
    ("polygon-creased.obj", 2, ["--vertex-rule=classic", "--crease-angle=30"]),
    ("cube-textured.obj", 2, ["--uv", "--vertex-rule=classic"]),
]

# Every texture coordinate mode (--uv=MODE) on the seam samples: a cube with
# one seam loop, a dart, a concave corner, a junction of three islands, a
# ring A B A B, a seam with crease and corner tags, and the textured cube and
# grid; 0 to 4 iterations, both vertex rules, both corner modes on the open
# ones, triangles under both schemes, crease angles, six decimals and shortest.
UV_SAMPLES = ("uv-cube-seam.obj", "uv-dart.obj", "uv-concave.obj", "uv-junction.obj", "uv-ring-abab.obj",
              "uv-seam-creased.obj", "cube-textured.obj", "grid-textured.obj")
UV_VARIANTS = [(1, []), (2, ["--vertex-rule=classic"]), (3, ["--precision=shortest"]), (4, []), (2, []),
               (3, ["--vertex-rule=classic", "--precision=shortest"])]
UV_MODE_CASES = [(mesh, UV_VARIANTS[(m + k) % 6][0], [f"--uv={mode}"] + UV_VARIANTS[(m + k) % 6][1])
                 for k, mesh in enumerate(UV_SAMPLES) for m, mode in enumerate(reference.UV_MODES)]
UV_MODE_CASES += [(mesh, 0, [f"--uv={mode}"]) for mesh, mode in (("uv-cube-seam.obj", "smooth"),
                                                                  ("uv-seam-creased.obj", "corners-junctions"))]
for mode in reference.UV_MODES:
    UV_MODE_CASES += [("uv-seam-creased.obj", 4, [f"--uv={mode}"]),
                      ("uv-seam-creased.obj", 4, [f"--uv={mode}", "--vertex-rule=classic"]),
                      ("uv-cube-seam.obj", 2, [f"--uv={mode}", "--crease-angle=60"]),
                      ("grid-textured.obj", 2, [f"--uv={mode}", "--corners=smooth"]),
                      ("uv-dart.obj", 3, [f"--uv={mode}", "--corners=smooth", "--precision=shortest"]),
                      ("uv-concave.obj", 2, [f"--uv={mode}", "--corners=smooth", "--vertex-rule=classic"]),
                      ("uv-junction.obj", 2, [f"--uv={mode}", "--scheme=catmull-clark"]),
                      ("uv-ring-abab.obj", 2, [f"--uv={mode}", "--scheme=catmull-clark"]),
                      ("grid-textured.obj", 2, [f"--uv={mode}", "--scheme=catmull-clark", "--corners=smooth"])]

CASE_LISTS = {
    "closed": [(name, iterations, []) for name, iterations in CASES],
    "open": OPEN_CASES,
    "polygon": POLYGON_CASES,
    "uv": UV_CASES,
    "creases": CREASE_CASES,
    "classic": CLASSIC_CASES,
    "uvmodes": UV_MODE_CASES,
}
CASE_LISTS["all"] = [case for name, cases in CASE_LISTS.items() if name != "uvmodes" for case in cases]


def model_options(options):
    """The model's keyword arguments for the tool's options, and the precision
    of the numbers written."""
    kwargs, precision = {}, "6"
    for option in options:
        name, _, value = option[2:].partition("=")
        if name == "uv":
            kwargs["uv"] = value or True
        elif name == "precision":
            precision = value
        elif name == "crease-angle":
            kwargs["crease_angle"] = float(value)
        else:
            assert name in ("scheme", "corners", "vertex-rule"), f"unknown option {option}"
            kwargs[name.replace("-", "_")] = value
    return kwargs, precision


def model_output(path, iterations, options=()):
    """The model's positions, faces, Texcoords (None without --uv) and
    remaining sharpness (None without sharpness)."""
    with open(path) as source:
        return reference.subdivide_text(source.read(), iterations, **model_options(options)[0])


def first_difference(tool_text, model_text):
    tool_lines, model_lines = tool_text.split("\n"), model_text.split("\n")
    for n, (a, b) in enumerate(zip(tool_lines, model_lines)):
        if a != b:
            return f"line {n + 1}: tool {a!r}, model {b!r}"
    return f"tool {len(tool_lines)} lines, model {len(model_lines)}"


def uv_difference(tool_text, positions, faces, uvs, remaining, precision):
    """What the tool's output with texture coordinates gets wrong, or None."""
    v_lines, texcoords, f_corners, t_lines = [], [], [], []
    for line in tool_text.splitlines():
        words = line.split()
        if words and words[0] == "v":
            v_lines.append(line)
        elif words and words[0] == "vt":
            texcoords.append(" ".join(words[1:]))
        elif words and words[0] == "f":
            f_corners.append(words[1:])
        elif words and words[0] == "t":
            t_lines.append(line)
    model_v_lines = ["v " + " ".join(reference.format_number(c, precision) for c in p) for p in positions]
    if v_lines != model_v_lines:
        return "v lines: " + first_difference("\n".join(v_lines), "\n".join(model_v_lines))
    model_t_lines = reference.sharpness_lines(remaining, precision)
    if t_lines != model_t_lines:
        return "t lines: " + first_difference("\n".join(t_lines), "\n".join(model_t_lines))
    if len(f_corners) != len(faces):
        return f"tool {len(f_corners)} faces, model {len(faces)}"
    for f, (corners, face, face_uvs) in enumerate(zip(f_corners, faces, uvs.values)):
        if len(corners) != len(face):
            return f"face {f + 1}: tool {len(corners)} corners, model {len(face)}"
        for c, (corner, v, uv) in enumerate(zip(corners, face, face_uvs)):
            where = f"face {f + 1} corner {c + 1} ({corner})"
            parts = corner.split("/")
            if parts[0] != str(v + 1):
                return f"{where}: model vertex {v + 1}"
            if len(parts) < 2 or not parts[1].isdigit() or not 1 <= int(parts[1]) <= len(texcoords):
                return f"{where}: no texture coordinate among the {len(texcoords)} vt lines"
            model_uv = reference.format_uv(uv, precision)
            if texcoords[int(parts[1]) - 1] != model_uv:
                return f"{where}: tool vt {texcoords[int(parts[1]) - 1]}, model {model_uv}"
    return None


def difference(tool_text, path, iterations, options):
    """What differs between the tool's output and the model's, or None."""
    positions, faces, uvs, remaining = model_output(path, iterations, options)
    precision = model_options(options)[1]
    model_text = reference.write_obj(positions, faces, precision, remaining, uvs)
    if uvs is not None and len(reference.texcoord_lines(uvs)[0]) != len(uvs.table):
        return uv_difference(tool_text, positions, faces, uvs, remaining, precision)
    return None if tool_text == model_text else first_difference(tool_text, model_text)


def main():
    if len(sys.argv) == 4 and sys.argv[3].startswith("--cases="):
        selection = sys.argv[3][len("--cases="):]
    elif len(sys.argv) == 3:
        selection = "closed"
    else:
        selection = None
    if selection not in CASE_LISTS:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    exe, folder = sys.argv[1], sys.argv[2]
    cases = CASE_LISTS[selection]
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        for name, iterations, options in cases:
            label = f"{name}, {iterations} iterations" + (" " + " ".join(options) if options else "")
            mesh = os.path.join(folder, name)
            out = os.path.join(scratch, "out.obj")
            if os.path.exists(out):
                os.remove(out)
            run = subprocess.run([exe, *options, mesh, str(iterations), out], capture_output=True, text=True)
            if run.returncode != 0:
                print(f"{label}: subdiv exited {run.returncode}: {run.stderr.rstrip()}")
                failures += 1
                continue
            if not os.path.exists(out):
                print(f"{label}: subdiv wrote no output")
                failures += 1
                continue
            with open(out) as produced:
                tool_text = produced.read()
            try:
                problem = difference(tool_text, mesh, iterations, options)
            except (ValueError, AssertionError) as error:
                problem = f"the reference model refuses the case: {error}"
            if problem:
                print(f"{label}: output differs from the reference model\n    {problem}")
                failures += 1
            else:
                print(f"{label}: identical")
    print(f"{len(cases) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

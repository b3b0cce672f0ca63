#!/usr/bin/env python3
"""Runs the subdiv executable and the reference model on the sample meshes and
fails unless every output byte agrees.

    compare_with_tool.py SUBDIV_EXE MESH_FOLDER
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


def model_output(path, iterations):
    with open(path) as source:
        positions, faces = reference.read_obj(source.read())
    for _ in range(iterations):
        step = reference.catmull_clark if len(faces[0]) == 4 else reference.loop
        positions, faces = step(positions, faces)
    return reference.write_obj(positions, faces)


def main():
    exe, folder = sys.argv[1], sys.argv[2]
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        for name, iterations in CASES:
            mesh = os.path.join(folder, name)
            out = os.path.join(scratch, "out.obj")
            run = subprocess.run([exe, mesh, str(iterations), out], capture_output=True, text=True)
            if run.returncode != 0:
                print(f"{name}: subdiv exited {run.returncode}: {run.stderr}")
                failures += 1
                continue
            with open(out) as produced:
                tool_text = produced.read()
            if tool_text != model_output(mesh, iterations):
                print(f"{name}, {iterations} iterations: output differs from the reference model")
                failures += 1
            else:
                print(f"{name}, {iterations} iterations: identical")
    print(f"{len(CASES) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

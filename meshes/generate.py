#!/usr/bin/env python3
"""Writes the sample meshes of this folder: small closed, consistently oriented
meshes with outward-facing counter-clockwise faces.

    python3 meshes/generate.py            # rewrites the files beside this script
"""
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def write(name, vertices, faces, comment):
    with open(os.path.join(HERE, name), "w", newline="\n") as out:
        out.write(f"# {comment}\n")
        for v in vertices:
            out.write("v " + " ".join(fmt(c) for c in v) + "\n")
        for f in faces:
            out.write("f " + " ".join(str(i + 1) for i in f) + "\n")


def fmt(c):
    text = f"{c:.6f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def cube():
    v = [(x, y, z) for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)]
    idx = {p: i for i, p in enumerate(v)}
    q = lambda *ps: [idx[p] for p in ps]
    faces = [
        q((1, -1, -1), (1, 1, -1), (1, 1, 1), (1, -1, 1)),      # +x
        q((-1, -1, -1), (-1, -1, 1), (-1, 1, 1), (-1, 1, -1)),  # -x
        q((-1, 1, -1), (-1, 1, 1), (1, 1, 1), (1, 1, -1)),      # +y
        q((-1, -1, -1), (1, -1, -1), (1, -1, 1), (-1, -1, 1)),  # -y
        q((-1, -1, 1), (1, -1, 1), (1, 1, 1), (-1, 1, 1)),      # +z
        q((-1, -1, -1), (-1, 1, -1), (1, 1, -1), (1, -1, -1)),  # -z
    ]
    return v, faces


def tetrahedron():
    v = [(1, 1, 1), (1, -1, -1), (-1, 1, -1), (-1, -1, 1)]
    return v, [(0, 1, 2), (0, 3, 1), (1, 3, 2), (2, 3, 0)]


def octahedron():
    v = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
    faces = [(0, 2, 4), (2, 1, 4), (1, 3, 4), (3, 0, 4),
             (2, 0, 5), (1, 2, 5), (3, 1, 5), (0, 3, 5)]
    return v, faces


def icosahedron():
    t = (1 + math.sqrt(5)) / 2
    v = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0),
         (0, -1, t), (0, 1, t), (0, -1, -t), (0, 1, -t),
         (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    faces = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11),
             (1, 5, 9), (5, 11, 4), (11, 10, 2), (10, 7, 6), (7, 1, 8),
             (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9),
             (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    return v, faces


def torus(n_major, n_minor, radius=1.0, tube=0.35, triangles=False):
    v = []
    for i in range(n_major):
        a = 2 * math.pi * i / n_major
        for j in range(n_minor):
            b = 2 * math.pi * j / n_minor
            r = radius + tube * math.cos(b)
            v.append((r * math.cos(a), r * math.sin(a), tube * math.sin(b)))
    at = lambda i, j: (i % n_major) * n_minor + (j % n_minor)
    faces = []
    for i in range(n_major):
        for j in range(n_minor):
            a, b, c, d = at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)
            if triangles:
                faces += [(a, b, c), (a, c, d)]
            else:
                faces.append((a, b, c, d))
    return v, faces


if __name__ == "__main__":
    write("cube-quad.obj", *cube(), "cube, corners at +-1, six outward quads")
    write("tetrahedron.obj", *tetrahedron(), "regular tetrahedron")
    write("octahedron.obj", *octahedron(), "octahedron")
    write("icosahedron.obj", *icosahedron(), "icosahedron")
    write("torus-quad.obj", *torus(24, 12), "quad torus, 24 x 12")
    write("torus-tri.obj", *torus(24, 12, triangles=True), "triangle torus, 24 x 12 x 2")

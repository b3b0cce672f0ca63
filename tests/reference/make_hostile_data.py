#!/usr/bin/env python3
"""Writes the meshes of the hostile-input tests that the tool must refine, and
what subdivide_reference.py makes of them after one iteration:

    python3 tests/reference/make_hostile_data.py    # rewrites the files in tests/data

- bowtie-tri: two tetrahedra that touch at one vertex (valence 6 there);
- bowtie-quad: two cubes that touch at one corner (valence 6 there);
- bipyramid-300: a ring of 300 vertices with an apex above and below, each
  apex of valence 300;
- pole-300: a ring of 600 vertices with a pole above and below, each pole of
  valence 300, the ring alternating valence 4 and 2.
"""
import math
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")


def fmt(c):
    text = f"{c:.6f}".rstrip("0").rstrip(".")
    return "0" if text in ("-0", "") else text


def write(name, vertices, faces):
    path = os.path.join(DATA, name + ".obj")
    with open(path, "w", newline="\n") as out:
        for v in vertices:
            out.write("v " + " ".join(fmt(c) for c in v) + "\n")
        for f in faces:
            out.write("f " + " ".join(str(i + 1) for i in f) + "\n")
    refined = subprocess.run(
        [sys.executable, os.path.join(HERE, "subdivide_reference.py"), path, "1"],
        check=True, capture_output=True, text=True).stdout
    with open(os.path.join(DATA, name + "-1.obj"), "w", newline="\n") as out:
        out.write(refined)


TETRAHEDRON = [(0, 1, 2), (0, 3, 1), (1, 3, 2), (2, 3, 0)]
CUBE = [(4, 6, 7, 5), (0, 1, 3, 2), (2, 3, 7, 6), (0, 4, 5, 1), (1, 5, 7, 3), (0, 2, 6, 4)]


def bowtie_tri():
    v = [(1, 1, 1), (1, -1, -1), (-1, 1, -1), (-1, -1, 1),
         (3, 1, 1), (3, 3, -1), (1, 3, -1)]
    second = [0, 4, 5, 6]  # shares vertex 0 with the first
    faces = TETRAHEDRON + [tuple(second[i] for i in f) for f in TETRAHEDRON]
    write("bowtie-tri", v, faces)


def bowtie_quad():
    first = [(x, y, z) for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)]
    # the second cube has its corner 0 at the first cube's corner 7, (1, 1, 1)
    second = [(x + 2, y + 2, z + 2) for (x, y, z) in first[1:]]
    index = [7] + [8 + i for i in range(7)]
    faces = CUBE + [tuple(index[i] for i in f) for f in CUBE]
    write("bowtie-quad", first + second, faces)


def bipyramid(n):
    ring = [(math.cos(2 * math.pi * i / n), math.sin(2 * math.pi * i / n), 0) for i in range(n)]
    top, bottom = n, n + 1
    faces = [(top, i, (i + 1) % n) for i in range(n)]
    faces += [(bottom, (i + 1) % n, i) for i in range(n)]
    write(f"bipyramid-{n}", ring + [(0, 0, 1), (0, 0, -1)], faces)


def pole(n):
    m = 2 * n
    ring = [(math.cos(2 * math.pi * i / m) * (1 if i % 2 == 0 else 1.25),
             math.sin(2 * math.pi * i / m) * (1 if i % 2 == 0 else 1.25), 0) for i in range(m)]
    top, bottom = m, m + 1
    faces = [(top, 2 * i, 2 * i + 1, (2 * i + 2) % m) for i in range(n)]
    faces += [(bottom, (2 * i + 2) % m, 2 * i + 1, 2 * i) for i in range(n)]
    write(f"pole-{n}", ring + [(0, 0, 1), (0, 0, -1)], faces)


if __name__ == "__main__":
    bowtie_tri()
    bowtie_quad()
    bipyramid(300)
    pole(300)

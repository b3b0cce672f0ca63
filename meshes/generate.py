#!/usr/bin/env python3
"""Writes the sample meshes of this folder: small consistently oriented meshes
whose faces run counter-clockwise seen from outside: from above for the open
patches that lie over the z = 0 plane.

    python3 meshes/generate.py            # rewrites the files beside this script
"""
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def write(name, vertices, faces, comment, tags=(), first_tags=()):
    """tags: t statements (without the "t ") written after the faces,
    first_tags ones written before the vertices."""
    with open(os.path.join(HERE, name), "w", newline="\n") as out:
        out.write(f"# {comment}\n")
        for tag in first_tags:
            out.write(f"t {tag}\n")
        for v in vertices:
            out.write("v " + " ".join(fmt(c) for c in v) + "\n")
        for f in faces:
            out.write("f " + " ".join(str(i + 1) for i in f) + "\n")
        for tag in tags:
            out.write(f"t {tag}\n")


def write_textured(name, vertices, faces, face_texcoords, comment, library=None, materials=(), tags=()):
    """Faces as f v/vt ...: face_texcoords gives per face the (u, v) of each
    corner, and every distinct (u, v) is written once, in order of first use,
    so faces that meet along an edge without a seam share their vt lines.
    materials lists (first face, material name) for the usemtl statements;
    tags, t statements written after the faces."""
    texcoords = {}
    for uvs in face_texcoords:
        for uv in uvs:
            texcoords.setdefault(uv, len(texcoords))
    starts = dict(materials)
    with open(os.path.join(HERE, name), "w", newline="\n") as out:
        out.write(f"# {comment}\n")
        if library:
            out.write(f"mtllib {library}\n")
        for v in vertices:
            out.write("v " + " ".join(fmt(c) for c in v) + "\n")
        for uv in texcoords:
            out.write("vt " + " ".join(fmt(c) for c in uv) + "\n")
        for k, (f, uvs) in enumerate(zip(faces, face_texcoords)):
            if k in starts:
                out.write(f"usemtl {starts[k]}\n")
            out.write("f " + " ".join(f"{i + 1}/{texcoords[uv] + 1}" for i, uv in zip(f, uvs)) + "\n")
        for tag in tags:
            out.write(f"t {tag}\n")


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


def grid(xs, ys, triangles=False):
    """Open grid over the z = 0 plane, rows of cells from y = ys[0] up. Cells
    split into triangles take their diagonals in a checkerboard pattern, so
    two of the grid's four corners lie on one triangle and two on two."""
    v = [(x, y, 0) for y in ys for x in xs]
    at = lambda i, j: j * len(xs) + i
    faces = []
    for j in range(len(ys) - 1):
        for i in range(len(xs) - 1):
            a, b, c, d = at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1)
            if not triangles:
                faces.append((a, b, c, d))
            elif (i + j) % 2 == 0:
                faces += [(a, b, c), (a, c, d)]
            else:
                faces += [(a, b, d), (b, c, d)]
    return v, faces


GRID_X = (0, 1, 2.5, 3, 4.5)
GRID_Y = (0, 1.5, 2, 3)


def grid_texcoords(v, faces):
    """u = x / 5 and v = y / 4, except that the cells of the last column form
    an island of their own, shifted by 0.05 in u: a seam along x = 3."""
    seam = GRID_X[-2]
    result = []
    for f in faces:
        shift = 0.05 if all(v[i][0] >= seam for i in f) else 0
        result.append([(v[i][0] / 5 + shift, v[i][1] / 4) for i in f])
    return result


def cylinder_open():
    """Open tube of quads around the z axis, an octagon at three heights."""
    ring = [(1, 0), (0.7, 0.7), (0, 1), (-0.7, 0.7), (-1, 0), (-0.7, -0.7), (0, -1), (0.7, -0.7)]
    heights = (0, 0.75, 2)
    v = [(x, y, z) for z in heights for (x, y) in ring]
    n = len(ring)
    at = lambda j, i: j * n + i % n
    faces = [(at(j, i), at(j, i + 1), at(j + 1, i + 1), at(j + 1, i))
             for j in range(len(heights) - 1) for i in range(n)]
    return v, faces


def cube_open():
    """The cube without its +z face."""
    v, faces = cube()
    return v, faces[:4] + faces[5:]


def polygon_closed():
    """The cube with a vertex added at z = 0.5 on its edge x = y = 1, which
    makes the +x and +y faces pentagons, and its -z face split into two
    triangles."""
    v, faces = cube()
    v = v + [(1, 1, 0.5)]
    extra = len(v) - 1
    plus_x = list(faces[0])
    plus_x.insert(plus_x.index(7), extra)       # side (1, 1, -1) -> (1, 1, 1)
    plus_y = list(faces[2])
    plus_y.insert(plus_y.index(6), extra)       # side (1, 1, 1) -> (1, 1, -1)
    a, b, c, d = faces[5]
    return v, [plus_x, faces[1], plus_y, faces[3], faces[4], (a, b, c), (a, c, d)]


def polygon_open():
    """Open patch of faces with 3 to 7 corners, flat but for its four interior
    vertices (two of them of valence 2, on the sides between two faces). Of
    the boundary vertices some lie on one face only, and (3, 2) lies on four
    boundary edges: a last triangle touches the patch there and nowhere else."""
    v = [(0, 0, 0), (1, 0, 0), (1.5, -0.25, 0), (2, 0, 0), (3, 0, 0), (3.25, 0.5, 0),
         (0, 1, 0), (1, 1, 0.5), (1.5, 1, 0.25), (2, 1, -0.25), (2, 0.5, 0), (3, 1, 0),
         (0, 2, 0), (1, 2, 0), (2, 2, 0), (2.5, 2.25, 0), (3, 2, 0), (4, 2, 0), (3.5, 3, 0)]
    faces = [(0, 1, 7), (0, 7, 6), (1, 2, 3, 10, 9, 8, 7), (3, 4, 5, 11, 9, 10),
             (6, 7, 13, 12), (7, 8, 9, 14, 13), (9, 11, 16, 15, 14), (16, 17, 18)]
    return v, faces


def cube_texcoords():
    """The cube unfolded as a cross, 0.25 a side: the +z face in the middle of
    a row -x, +z, +x, -z, with +y above and -y below it. Each face's (u, v)
    runs counter-clockwise like the face seen from outside."""
    def uv(p, normal):
        x, y, z = ((c + 1) / 2 for c in p)  # 0 or 1
        s = 0.25
        return {
            (1, 0, 0): (2 * s + (1 - z) * s, s + y * s),
            (-1, 0, 0): (z * s, s + y * s),
            (0, 1, 0): (s + x * s, 2 * s + (1 - z) * s),
            (0, -1, 0): (s + x * s, z * s),
            (0, 0, 1): (s + x * s, s + y * s),
            (0, 0, -1): (3 * s + (1 - x) * s, s + y * s),
        }[normal]
    v, faces = cube()
    normals = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]
    return [[uv(v[i], n) for i in f] for f, n in zip(faces, normals)]


# Sharpness tags (vertex indices from 0) of the creased samples: values that
# decay through several levels (0.3, 1, 1.5, 2.5, 12), edges and vertices
# tagged twice (the larger counts) and a tag the tool passes over.

# The cube's +z face ringed at 2.5, one of its edges at 12 too; a path of
# 1.5 from vertex 0 to vertex 6; single edges at 0.3 and 1; vertex tags.
CUBE_TAGS = ["crease 5/1/0 1 5 7 3 1 2.5", "crease 2/1/0 0 4 0.3", "crease 2/1/0 6 4 1",
             "crease 3/1/0 0 2 6 1.5", "crease 2/1/0 7 5 12", "crease 2/1/0 2 0 0.5",
             "corner 2/2/0 6 4 0.5 2.5", "corner 1/1/0 6 0.2", "facevaryingpropagatecorners 1/0/0 1"]

# A crease across the grid from boundary to boundary along y = 1.5, a line of
# 1.5 across it along x = 2.5, edges at 0.3 and 1 beside the crossing, a
# tagged boundary edge, a vertex tag inside and one on the corner (0, 0).
GRID_TAGS = ["crease 5/1/0 5 6 7 8 9 10", "crease 4/1/0 2 7 12 17 1.5", "crease 2/1/0 11 12 0.3",
             "crease 2/1/0 12 13 1", "crease 2/1/0 15 16 1", "corner 2/2/0 13 0 2.5 0.5"]

# polygon-closed: the edge split in two at (1, 1, 0.5) infinitely sharp, the
# diagonal between the two triangles of the -z face at 1.5, a path on the +z
# face at 2.5; the split vertex and the corner (-1, 1, 1) tagged.
POLYGON_TAGS = ["crease 3/1/0 6 8 7 10", "crease 2/1/0 0 6 1.5", "crease 3/1/0 1 5 7 2.5",
                "corner 2/2/0 3 8 1 0.7"]

# The icosahedron: an infinitely sharp loop round vertex 0, a path of 1.5
# through vertex 3, an edge at 0.3, vertex tags at 8 and at 0 inside the loop.
ICOSAHEDRON_TAGS = ["crease 6/1/0 11 5 1 7 10 11 10", "crease 3/1/0 9 3 4 1.5", "crease 2/1/0 2 6 0.3",
                    "corner 2/2/0 8 0 2.5 1"]


# Samples of texture coordinate seams, each vertex with coordinates of its
# own (no two vertices share a (u, v)), in dyadic fractions.

def cube_seam_loop():
    """The cube with one seam loop round its +z face: that face is an island
    of its own, the other five one island seen as an open box from above (its
    rim outside, its bottom inside): three faces meet at each corner of the
    loop, one of the lid and two of the box."""
    v, faces = cube()

    def uv(p, lid):
        x, y, z = p
        if lid:
            return (0.75 + 0.125 * x, 0.25 + 0.125 * y)
        scale = 0.25 if z > 0 else 0.125
        return (0.25 - scale * x, 0.25 + scale * y)
    return v, faces, [[uv(v[i], k == 4) for i in f] for k, f in enumerate(faces)]


def uv_dart():
    """2 x 2 quads with a slit from the middle of the right side to the
    centre: the faces on either side of the edge (1, 1)-(2, 1) differ at
    (2, 1) only, so the centre has one coordinate but a seam edge."""
    v, faces = grid((0, 1, 2), (0, 1, 2))
    return v, faces, [[(0.5625, 0.25) if k == 3 and i == 5 else (v[i][0] / 4, v[i][1] / 4) for i in f]
                      for k, f in enumerate(faces)]


def uv_concave():
    """2 x 2 quads, the top right one an island of its own: the other three
    wrap round the centre with a concave corner there."""
    v, faces = grid((0, 1, 2), (0, 1, 2))
    return v, faces, [[(v[i][0] / 4 + (0.5 if k == 3 else 0), v[i][1] / 4 + (0.5 if k == 3 else 0)) for i in f]
                      for k, f in enumerate(faces)]


def fan(rim, regions, offsets):
    """Triangles round (0, 0) through the rim's points (counter-clockwise);
    face k's coordinates are its corners' (x / 8 + 0.5, y / 8 + 0.5) shifted by
    offsets[regions[k]]."""
    v = [(0, 0, 0)] + [(x, y, 0) for x, y in rim]
    n = len(rim)
    faces = [(0, 1 + k, 1 + (k + 1) % n) for k in range(n)]
    return v, faces, [[(v[i][0] / 8 + 0.5 + offsets[regions[k]][0], v[i][1] / 8 + 0.5 + offsets[regions[k]][1])
                       for i in f] for k, f in enumerate(faces)]


def uv_junction():
    """Six triangles round the centre, three islands of two each."""
    return fan([(2, 0), (1, 2), (-1, 2), (-2, 0), (-1, -2), (1, -2)], [0, 0, 1, 1, 2, 2],
               [(0, 0), (1, 0), (0, 1)])


def uv_ring_abab():
    """Eight triangles round the centre whose coordinates there run A B A B
    (face 0 in the middle of a run of A)."""
    return fan([(2, 0), (2, 2), (0, 2), (-2, 2), (-2, 0), (-2, -2), (0, -2), (2, -2)],
               [0, 1, 1, 0, 0, 1, 1, 0], [(0, 0), (0.75, 0)])


SEAM_ROWS = (0, 1, 2.5, 3, 4)
SEAM_COLUMN = (2, 2.25, 2, 1.75, 2)


def uv_seam_creased():
    """4 x 4 quads, rows unevenly spaced, with a seam along the wavy third
    column line: u = x / 4, v = y / 4, the right half shifted by 0.5 in u."""
    xs = (0, 1, None, 3, 4)
    v = [(SEAM_COLUMN[j] if x is None else x, y, 0) for j, y in enumerate(SEAM_ROWS) for x in xs]
    _, faces = grid(range(5), range(5))
    return v, faces, [[(v[i][0] / 4 + (0.5 if k % 4 >= 2 else 0), v[i][1] / 4) for i in f]
                      for k, f in enumerate(faces)]


# On the seam (vertices 2, 7, 12, 17, 22 from the bottom): its ends
# infinitely sharp corners, an edge at 2.5 inside the left island at 7, one at
# 10 inside the right island at 12, a vertex at 1.5 at 17; a crease line along
# x = 1 inside the left island.
SEAM_TAGS = ["corner 2/1/0 2 22 10", "crease 2/1/0 6 7 2.5", "crease 2/1/0 12 13 10", "corner 1/1/0 17 1.5",
             "crease 5/1/0 1 6 11 16 21 10"]


def write_materials(name, materials, comment):
    with open(os.path.join(HERE, name), "w", newline="\n") as out:
        out.write(f"# {comment}\n")
        for material, colour in materials:
            out.write(f"newmtl {material}\nKd {colour}\n")


if __name__ == "__main__":
    write("cube-quad.obj", *cube(), "cube, corners at +-1, six outward quads")
    write("tetrahedron.obj", *tetrahedron(), "regular tetrahedron")
    write("octahedron.obj", *octahedron(), "octahedron")
    write("icosahedron.obj", *icosahedron(), "icosahedron")
    write("torus-quad.obj", *torus(24, 12), "quad torus, 24 x 12")
    write("torus-tri.obj", *torus(24, 12, triangles=True), "triangle torus, 24 x 12 x 2")
    write("grid-quad.obj", *grid(GRID_X, GRID_Y), "open grid of 4 x 3 quads over z = 0")
    write("grid-tri.obj", *grid(GRID_X, GRID_Y, triangles=True), "open grid of 4 x 3 x 2 triangles over z = 0")
    write("cylinder-open.obj", *cylinder_open(), "open tube of 8 x 2 quads, two boundary rims")
    write("cube-open.obj", *cube_open(), "cube of quads without its +z face")
    write("polygon-closed.obj", *polygon_closed(), "closed: cube with two pentagons and two triangles")
    write("polygon-open.obj", *polygon_open(), "open patch of faces with 3 to 7 corners")
    write("cube-creased.obj", *cube(), "cube with semi-sharp and sharp edges and vertices",
          tags=CUBE_TAGS[1:], first_tags=CUBE_TAGS[:1])
    write("grid-creased.obj", *grid(GRID_X, GRID_Y), "open quad grid with a crease line, semi-sharp edges,"
          " smooth corners by tag", tags=GRID_TAGS + ["interpolateboundary 1/0/0 2"])
    write("grid-tri-creased.obj", *grid(GRID_X, GRID_Y, triangles=True), "open triangle grid with a crease"
          " line and semi-sharp edges", tags=GRID_TAGS + ["interpolateboundary 1/0/0 0"])
    write("polygon-creased.obj", *polygon_closed(), "polygon-closed with sharp and semi-sharp edges",
          tags=POLYGON_TAGS)
    write("icosahedron-creased.obj", *icosahedron(), "icosahedron with a crease loop and semi-sharp edges",
          tags=ICOSAHEDRON_TAGS)
    v, faces = cube()
    write_textured("cube-textured.obj", v, faces, cube_texcoords(),
                   "cube with texture coordinates unfolded as a cross", library="cube-textured.mtl",
                   materials=[(0, "sides"), (4, "caps")])
    write_materials("cube-textured.mtl", [("sides", "0.8 0.3 0.2"), ("caps", "0.2 0.4 0.8")],
                    "materials of cube-textured.obj")
    v, faces = grid(GRID_X, GRID_Y, triangles=True)
    write_textured("grid-textured.obj", v, faces, grid_texcoords(v, faces),
                   "open triangle grid with texture coordinates and a seam along x = 3")
    write_textured("uv-cube-seam.obj", *cube_seam_loop(), "cube, its +z face a texture island of its own")
    write_textured("uv-dart.obj", *uv_dart(), "2 x 2 quads, a texture seam ending inside: a dart")
    write_textured("uv-concave.obj", *uv_concave(), "2 x 2 quads, three round a concave texture corner")
    write_textured("uv-junction.obj", *uv_junction(), "six triangles, three texture islands meet at the centre")
    write_textured("uv-ring-abab.obj", *uv_ring_abab(), "eight triangles, texture coordinates A B A B round the"
                   " centre")
    write_textured("uv-seam-creased.obj", *uv_seam_creased(), "4 x 4 quads, a texture seam with crease and"
                   " corner tags", tags=SEAM_TAGS)

#!/usr/bin/env python3
"""A slow, independent model of subdiv's refinement rules, used to produce and
check expected output bytes.

    subdivide_reference.py INPUT.obj ITERATIONS [--scheme=auto|loop|catmull-clark]
                           [--corners=sharp|smooth] [--vertex-rule=edge-points|classic]
                           [--crease-angle=DEG] [--precision=6|shortest] > OUTPUT.obj

It reads the v, vt, f and t statements of an OBJ file (corners v, v/vt, v//vn
or v/vt/vn; 1-based or negative relative indices), numbers edges in the order
a scan of the faces first meets them, applies the Loop or Catmull-Clark rules
with every addition, multiplication and division rounded to single precision in
the tool's order, and prints the result in the tool's output format (positions,
faces, and the sharpness that remains). Meshes may be open (edges on one face)
and, for Catmull-Clark, made of faces of any size from 3 corners up. Texture
coordinates are carried per face corner and interpolated linearly, so seams
stay where they are; the command line does not print them, refine() returns
them.

Sharpness: every edge and vertex of a level has a sharpness s, 0 smooth, 10 or
more infinitely sharp. It comes from the tags `t crease n/1/0 v0 .. v(n-1) s`,
`t corner n/1/0 v0 .. s` or `t corner n/n/0 v0 .. s0 ..` (vertex indices from
0) and `t interpolateboundary 1/0/0 k`, and from --crease-angle; boundary edges
are infinitely sharp, and with sharp corners a boundary vertex on one face has
vertex sharpness 10. Each step decays it by 1 and blends the rules of a vertex
whose rule changes; see the functions below.

Single-precision rounding is emulated by rounding each double result to
float32: a double holds the exact sum or product of two float32 values, and the
double quotient of two float32 values rounds to the correctly rounded float32
quotient, so one rounding gives the float32 result. cosf and powf come from the
C library, as in the tool.

Readings (where the rules leave a choice):
- The sharpness that remains is written right after the last face line, with
  no heading and no blank line before it, in every output mode.
- Boundary edges are never written, with 0 iterations neither: a tag on a
  boundary edge changes nothing.
- The sharpness values written are the float32 values of the level: a tag of
  12 is written as 12 with 0 iterations and as 10 after one.
- A vertex that no face uses keeps its position whatever its sharpness; its
  tag decays and is written like any other.
- `t interpolateboundary` given more than once: the last one read counts. A
  negative k, or one that is not a whole number, is refused.
- Tag forms: `crease` needs n >= 2 and the counts n/1/0, `corner` n >= 1 and
  n/1/0 or n/n/0, `interpolateboundary` 1/0/0; other counts are refused as
  counts that do not match. Indices are whole numbers (a negative one is out
  of range); sharpness values are OBJ numbers, "-0" reading as 0.
- --crease-angle: n1 is the normal of the face that first meets the edge
  (the lower face index), n2 the other; see crease_angle_edges for the order
  of every double operation.
"""
import argparse
import ctypes
import math
import re
import struct
import sys
from fractions import Fraction

libm = ctypes.CDLL("libm.so.6")
libm.cosf.restype = ctypes.c_float
libm.cosf.argtypes = [ctypes.c_float]
libm.powf.restype = ctypes.c_float
libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]
libc = ctypes.CDLL("libc.so.6")
libc.strtof.restype = ctypes.c_float
libc.strtof.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)]

SCHEMES = ("auto", "loop", "catmull-clark")
CORNER_MODES = ("sharp", "smooth")
VERTEX_RULES = ("edge-points", "classic")
PRECISIONS = ("6", "shortest")

# The sharpness of boundary edges and of implicit corners; it never decays.
INFINITELY_SHARP = 10.0


def f32(x):
    try:
        return struct.unpack("f", struct.pack("f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def add(a, b):
    return f32(a + b)


def mul(a, b):
    return f32(a * b)


def div(a, b):
    return f32(a / b)


# The same operations on whole points (three coordinates, or the two of a
# texture coordinate), one coordinate at a time.
def add_p(p, q):
    return [add(a, b) for a, b in zip(p, q)]


def mul_p(p, s):
    return [mul(a, s) for a in p]


def div_p(p, s):
    return [div(a, s) for a in p]


def midpoint(p, q):
    return mul_p(add_p(p, q), 0.5)


def centroid(points):
    """(((p0 + p1) + p2) + ...) / n, n as a float32."""
    total = points[0]
    for p in points[1:]:
        total = add_p(total, p)
    return div_p(total, f32(len(points)))


def decay(s):
    """The sharpness of a child: 10 stays, above 1 loses 1, the rest goes to 0."""
    if s >= INFINITELY_SHARP:
        return INFINITELY_SHARP
    return f32(s - 1.0) if s > 1.0 else 0.0


# Reading

def resolve_index(text, count):
    """A 1-based index, or a negative one counted back from the last item read."""
    i = int(text)
    index = i - 1 if i > 0 else count + i
    assert i != 0 and 0 <= index < count, f"index {text} out of range"
    return index


def parse_obj(text, tags=None):
    """Positions, faces (lists of 0-based vertex indices) and, per face, the
    texture coordinates of its corners (None for a face without them). The
    words of each t statement are appended to tags, if given, with their line
    numbers."""
    positions, texcoords, faces, face_uvs = [], [], [], []
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split()
        if not words:
            continue
        if words[0] == "v":
            positions.append([f32(float(c)) for c in (words[1:4] + ["0", "0", "0"])[:3]])
        elif words[0] == "vt":
            texcoords.append([f32(float(c)) for c in (words[1:3] + ["0", "0"])[:2]])
        elif words[0] == "f":
            face, uvs = [], []
            for corner in words[1:]:
                parts = corner.split("/")
                face.append(resolve_index(parts[0], len(positions)))
                if len(parts) > 1 and parts[1]:
                    uvs.append(texcoords[resolve_index(parts[1], len(texcoords))])
            assert len(uvs) in (0, len(face)), "face with texture indices on some corners only"
            faces.append(face)
            face_uvs.append(uvs or None)
        elif words[0] == "t" and tags is not None:
            tags.append((number, words[1:]))
    return positions, faces, face_uvs


def read_obj(text):
    positions, faces, _ = parse_obj(text)
    return positions, faces


# Tags

class Sharpness:
    """The sharpness of a level beyond the implicit one: creases lists
    (a, b, s) for every sharp non-boundary edge, in the order it is written;
    vertices holds every vertex's own sharpness from tags (0 for none)."""

    def __init__(self, creases, vertices):
        self.creases = creases
        self.vertices = vertices
        self.edges = {edge_key(a, b): s for a, b, s in creases}


def edge_key(a, b):
    return (min(a, b), max(a, b))


NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")
WHOLE = re.compile(r"[+-]?\d+")
TAG_NAMES = ("crease", "corner", "interpolateboundary")


def parse_tag(number, words):
    """(name, indices, values) of a t statement the model reads, None for one
    it passes over; raises ValueError for a malformed one."""
    if not words or words[0] not in TAG_NAMES:
        return None
    name, where = words[0], f"line {number}: t {words[0]}"
    counts = words[1].split("/") if len(words) > 1 else []
    if len(counts) != 3 or not all(c.isdigit() for c in counts):
        raise ValueError(f"{where}: counts must read n/n/n")
    n_ints, n_floats, n_strings = (int(c) for c in counts)
    tokens = words[2:]
    form_fits = {
        "crease": n_ints >= 2 and n_floats == 1 and n_strings == 0,
        "corner": n_ints >= 1 and n_floats in (1, n_ints) and n_strings == 0,
        "interpolateboundary": n_ints == 1 and n_floats == 0 and n_strings == 0,
    }[name]
    if not form_fits or len(tokens) != n_ints + n_floats + n_strings:
        raise ValueError(f"{where}: counts {words[1]} do not match the tag or its {len(tokens)} values")
    if not all(WHOLE.fullmatch(t) for t in tokens[:n_ints]):
        raise ValueError(f"{where}: an index is not a whole number")
    indices = [int(t) for t in tokens[:n_ints]]
    values = []
    for t in tokens[n_ints:]:
        s = f32(float(t)) if NUMBER.fullmatch(t) else math.nan
        if not math.isfinite(s) or s < 0:
            raise ValueError(f"{where}: sharpness {t} is not a finite number from 0 up")
        values.append(s + 0.0)  # -0 reads as 0
    return name, indices, values


def read_tags(tag_lines, n_vertices, edge_ids):
    """Edge sharpness by vertex pair, vertex sharpness and the corner mode of
    the tags (None when none sets it). edge_ids holds the mesh's edges."""
    edges, vertices, corners = {}, [0.0] * n_vertices, None
    for number, words in tag_lines:
        tag = parse_tag(number, words)
        if tag is None:
            continue
        name, indices, values = tag
        where = f"line {number}: t {name}"
        if name == "interpolateboundary":
            if indices[0] < 0:
                raise ValueError(f"{where}: negative value {indices[0]}")
            if indices[0] <= 2:
                corners = "smooth" if indices[0] == 2 else "sharp"
            continue
        for v in indices:
            if not 0 <= v < n_vertices:
                raise ValueError(f"{where}: vertex index {v} out of range (0 to {n_vertices - 1})")
        if name == "crease":
            for a, b in zip(indices, indices[1:]):
                key = edge_key(a, b)
                if key not in edge_ids:
                    raise ValueError(f"{where}: no face joins vertices {a} and {b}")
                edges[key] = max(edges.get(key, 0.0), values[0])
        else:
            for k, v in enumerate(indices):
                vertices[v] = max(vertices[v], values[k if len(values) > 1 else 0])
    return edges, vertices, corners


def newell_normal(points):
    """Newell's normal of a polygon, in double, summed from 0 corner by corner:
    n += ((yi - yj) * (zi + zj), (zi - zj) * (xi + xj), (xi - xj) * (yi + yj))
    with j the next corner."""
    nx = ny = nz = 0.0
    for i, (xi, yi, zi) in enumerate(points):
        xj, yj, zj = points[(i + 1) % len(points)]
        nx += (yi - yj) * (zi + zj)
        ny += (zi - zj) * (xi + xj)
        nz += (xi - xj) * (yi + yj)
    return nx, ny, nz


def crease_angle_edges(P, faces, conn, degrees):
    """The interior edges whose faces' normals differ by more than degrees, in
    double: dot < (c * |n1|) * |n2| with dot = ((x1 * x2) + (y1 * y2)) + (z1 * z2),
    |n| = sqrt(((x * x) + (y * y)) + (z * z)) and c = math.cos(math.radians(degrees)),
    that is cos(degrees * (pi / 180)) with pi / 180 rounded to a double first:
    the tool must compute c the same way. A face with a zero normal makes no
    edge sharp."""
    if not 0 < degrees < 180:
        raise ValueError(f"crease angle {degrees} is not between 0 and 180")
    c = math.cos(math.radians(degrees))
    normals = [newell_normal([P[v] for v in face]) for face in faces]
    sharp = []
    for e in range(conn.n_edges):
        if conn.is_boundary(e):
            continue
        n1, n2 = (normals[f] for f, _ in conn.sides[e])
        if n1 == (0.0, 0.0, 0.0) or n2 == (0.0, 0.0, 0.0):
            continue
        dot = ((n1[0] * n2[0]) + (n1[1] * n2[1])) + (n1[2] * n2[2])
        length1 = math.sqrt(((n1[0] * n1[0]) + (n1[1] * n1[1])) + (n1[2] * n1[2]))
        length2 = math.sqrt(((n2[0] * n2[0]) + (n2[1] * n2[1])) + (n2[2] * n2[2]))
        if dot < (c * length1) * length2:
            sharp.append(e)
    return sharp


def input_sharpness(P, faces, tag_lines, crease_angle=None):
    """The input's Sharpness (None when it has none) and the corner mode its
    tags set (None when they set none)."""
    conn = Connectivity(faces, len(P))
    edge_ids = {edge_key(a, b) for a, b in conn.ends}
    edges, vertices, corners = read_tags(tag_lines, len(P), edge_ids)
    if crease_angle is not None:
        for e in crease_angle_edges(P, faces, conn, crease_angle):
            key = edge_key(*conn.ends[e])
            edges[key] = max(edges.get(key, 0.0), INFINITELY_SHARP)
    creases = [(a, b, edges[edge_key(a, b)]) for e, (a, b) in enumerate(conn.ends)
               if not conn.is_boundary(e) and edges.get(edge_key(a, b), 0.0) > 0]
    if not creases and not any(s > 0 for s in vertices):
        return None, corners
    return Sharpness(creases, vertices), corners


# Connectivity

class Connectivity:
    """Edges and what the vertex rules need to know about each vertex.

    ends[e] = (a, b): a is the origin of half-edge 2e, held by the face that
    first meets the edge. sides[e] lists (face, corner) for each face running
    through the edge, the side from that corner to the next; the first holds
    2e, a second (running the other way) 2e + 1. face_edges[f][k] is the edge
    of side k of face f.
    """

    def __init__(self, faces, n_vertices):
        edge_of = {}
        self.ends, self.sides, self.face_edges = [], [], []
        for f, face in enumerate(faces):
            n = len(face)
            assert len(set(face)) == n, f"face {f + 1} repeats a vertex"
            edges = []
            for k in range(n):
                a, b = face[k], face[(k + 1) % n]
                key = (min(a, b), max(a, b))
                if key not in edge_of:
                    edge_of[key] = len(self.ends)
                    self.ends.append((a, b))
                    self.sides.append([(f, k)])
                else:
                    e = edge_of[key]
                    assert len(self.sides[e]) == 1, "edge on more than two faces"
                    assert self.ends[e] == (b, a), "edge used twice in the same direction"
                    self.sides[e].append((f, k))
                edges.append(edge_of[key])
            self.face_edges.append(edges)
        self.n_edges = len(self.ends)

        # Per vertex: its faces in ascending order (once per corner at which it
        # appears) and its edges in ascending edge order.
        self.vertex_faces = [[] for _ in range(n_vertices)]
        for f, face in enumerate(faces):
            for v in face:
                self.vertex_faces[v].append(f)
        self.vertex_edges = [[] for _ in range(n_vertices)]
        for e, (a, b) in enumerate(self.ends):
            for v in (a, b):
                self.vertex_edges[v].append(e)

    def is_boundary(self, e):
        return len(self.sides[e]) == 1

    def other_end(self, e, v):
        a, b = self.ends[e]
        return b if v == a else a


def implicit_corners(faces, n_vertices, corners):
    """Whether each vertex is a corner by the corner mode alone: with sharp
    corners, a vertex on exactly one face (a boundary vertex, as both its
    edges lie on that face only)."""
    face_count = [0] * n_vertices
    for face in faces:
        for v in face:
            face_count[v] += 1
    return [corners == "sharp" and count == 1 for count in face_count]


# Sharp rules

class LevelSharpness:
    """The sharpness of every edge and vertex of a level, the implicit one
    included: es[e] per edge, vs[v] per vertex."""

    def __init__(self, faces, conn, sharpness, corners):
        n = len(conn.vertex_edges)
        self.es = [INFINITELY_SHARP if conn.is_boundary(e) else sharpness.edges.get(edge_key(a, b), 0.0)
                   for e, (a, b) in enumerate(conn.ends)]
        implicit = implicit_corners(faces, n, corners)
        self.vs = [max(sharpness.vertices[v], INFINITELY_SHARP) if implicit[v] else sharpness.vertices[v]
                   for v in range(n)]


def edge_point(s, a, b, smooth_point):
    """s == 0: the smooth point; s >= 1: the midpoint (a + b) * 0.5; between:
    (mid * s) + (smooth * (1 - s))."""
    if s == 0:
        return smooth_point()
    mid = midpoint(a, b)
    if s >= 1:
        return mid
    return add_p(mul_p(mid, s), mul_p(smooth_point(), f32(1.0 - s)))


def vertex_rule(own, n_sharp_edges):
    if own > 0 or n_sharp_edges >= 3:
        return "corner"
    return "crease" if n_sharp_edges == 2 else "smooth"


def rule_point(rule, P, conn, v, sharp_edges, smooth_point):
    """The point of rule at vertex v. Crease: (P * 0.75) + ((a + b) * 0.125),
    a and b the other ends of the two sharp edges, a on the lower edge index."""
    if rule == "smooth":
        return smooth_point(v)
    if rule == "corner":
        return list(P[v])
    a, b = (P[conn.other_end(e, v)] for e in sharp_edges)
    return add_p(mul_p(P[v], 0.75), mul_p(add_p(a, b), 0.125))


def vertex_point(P, conn, level, v, smooth_point):
    """The vertex's rule from this level's sharpness; where the decayed values
    give another rule, (parent * w) + (child * (1 - w)), the child's mask on
    this level's points and w the mean of the sharpness values that drop to 0
    (the vertex's own first, then its edges in ascending order), at most 1."""
    edges = conn.vertex_edges[v]
    if not edges:
        return list(P[v])
    sharp = [e for e in edges if level.es[e] > 0]
    rule = vertex_rule(level.vs[v], len(sharp))
    if rule == "smooth":
        return smooth_point(v)
    point = rule_point(rule, P, conn, v, sharp, smooth_point)
    sharp_after = [e for e in sharp if decay(level.es[e]) > 0]
    rule_after = vertex_rule(decay(level.vs[v]), len(sharp_after))
    if rule_after == rule:
        return point
    dropped = [s for s in [level.vs[v]] + [level.es[e] for e in sharp] if s > 0 and decay(s) == 0]
    w = 0.0
    for s in dropped:
        w = add(w, s)
    w = min(div(w, f32(len(dropped))), 1.0)
    point_after = rule_point(rule_after, P, conn, v, sharp_after, smooth_point)
    return add_p(mul_p(point, w), mul_p(point_after, f32(1.0 - w)))


def child_sharpness(conn, level_es, sharpness, n_children, edge_point_index):
    """The Sharpness of the next level: both halves of each sharp parent edge,
    in edge order, the half at its origin first (old vertex, edge point), with
    its decayed s; each old vertex's decayed own sharpness."""
    creases = []
    for e, (a, b) in enumerate(conn.ends):
        s = decay(level_es[e])
        if s > 0 and not conn.is_boundary(e):
            m = edge_point_index(e)
            creases += [(a, m, s), (b, m, s)]
    vertices = [decay(s) for s in sharpness.vertices]
    return Sharpness(creases, vertices + [0.0] * (n_children - len(vertices)))


# Refinement steps. Each takes positions, faces, the per-face corner texture
# coordinates (or None) and the Sharpness, and returns the four for the refined
# mesh.

def catmull_clark(P, faces, corners="sharp", uvs=None, sharpness=None, rule="edge-points"):
    conn = Connectivity(faces, len(P))
    nv, nf = len(P), len(faces)
    sharpness = sharpness or Sharpness([], [0.0] * nv)
    level = LevelSharpness(faces, conn, sharpness, corners)

    face_points = [centroid([P[v] for v in face]) for face in faces]

    def smooth_edge_point(e):
        a, b = conn.ends[e]
        fa, fb = (face_points[f] for f, _ in conn.sides[e])
        return mul_p(add_p(add_p(fa, fb), add_p(P[a], P[b])), 0.25)

    edge_points = [edge_point(level.es[e], P[a], P[b], lambda e=e: smooth_edge_point(e))
                   for e, (a, b) in enumerate(conn.ends)]

    # ((k - 2) / k) * P + (1 / k^2) * S, S summed from 0: the face points of
    # the vertex's faces, then per edge its edge point or (classic) its other end
    def smooth_vertex_point(v):
        k = len(conn.vertex_edges[v])
        w_old, w_sum = f32((k - 2) / k), f32(1 / (k * k))
        S = [0.0, 0.0, 0.0]
        for f in conn.vertex_faces[v]:
            S = add_p(S, face_points[f])
        for e in conn.vertex_edges[v]:
            S = add_p(S, P[conn.other_end(e, v)] if rule == "classic" else edge_points[e])
        return add_p(mul_p(P[v], w_old), mul_p(S, w_sum))

    vertex_points = [vertex_point(P, conn, level, v, smooth_vertex_point) for v in range(nv)]

    # Face f with n corners gives n quads: corner c, the edge point of the side
    # leaving it, the face point, the edge point of the side arriving at it.
    children, child_uvs = [], []
    for f, face in enumerate(faces):
        n = len(face)
        E = [nv + nf + e for e in conn.face_edges[f]]
        for c in range(n):
            children.append([face[c], E[c], nv + f, E[c - 1]])
        if uvs is not None:
            corner_uv = uvs[f]
            side_uv = [midpoint(corner_uv[c], corner_uv[(c + 1) % n]) for c in range(n)]
            middle_uv = centroid(corner_uv)
            for c in range(n):
                child_uvs.append([corner_uv[c], side_uv[c], middle_uv, side_uv[c - 1]])
    points = vertex_points + face_points + edge_points
    child = child_sharpness(conn, level.es, sharpness, len(points), lambda e: nv + nf + e)
    return points, children, (child_uvs if uvs is not None else None), child


def loop(P, faces, corners="sharp", uvs=None, sharpness=None, rule="edge-points"):
    assert all(len(face) == 3 for face in faces), "Loop subdivision needs a triangle mesh"
    conn = Connectivity(faces, len(P))
    nv = len(P)
    sharpness = sharpness or Sharpness([], [0.0] * nv)
    level = LevelSharpness(faces, conn, sharpness, corners)

    def smooth_edge_point(e):
        a, b = conn.ends[e]
        p, q = (P[faces[f][(k + 2) % 3]] for f, k in conn.sides[e])
        return add_p(mul_p(add_p(P[a], P[b]), 0.375), mul_p(add_p(p, q), 0.125))

    edge_points = [edge_point(level.es[e], P[a], P[b], lambda e=e: smooth_edge_point(e))
                   for e, (a, b) in enumerate(conn.ends)]

    # Neighbour sums, edge by edge: both ends of an edge add the other's old
    # position.
    S = [[0.0, 0.0, 0.0] for _ in range(nv)]
    for a, b in conn.ends:
        S[a] = add_p(S[a], P[b])
        S[b] = add_p(S[b], P[a])

    pi = f32(3.14159274)

    def smooth_vertex_point(v):
        n = f32(len(conn.vertex_edges[v]))
        kappa = libm.cosf(f32(mul(2.0, pi) / n))
        beta = mul(f32(0.625 - libm.powf(add(mul(0.25, kappa), 0.375), 2.0)), f32(1.0 / n))
        alpha = f32(1.0 - mul(n, beta))
        return add_p(mul_p(P[v], alpha), mul_p(S[v], beta))

    vertex_points = [vertex_point(P, conn, level, v, smooth_vertex_point) for v in range(nv)]

    children, child_uvs = [], []
    for f, (c0, c1, c2) in enumerate(faces):
        m0, m1, m2 = (nv + e for e in conn.face_edges[f])
        children += [[c0, m0, m2], [m0, c1, m1], [m1, c2, m2], [m1, m2, m0]]
        if uvs is not None:
            u0, u1, u2 = uvs[f]
            h0, h1, h2 = midpoint(u0, u1), midpoint(u1, u2), midpoint(u2, u0)
            child_uvs += [[u0, h0, h2], [h0, u1, h1], [h1, u2, h2], [h1, h2, h0]]
    points = vertex_points + edge_points
    child = child_sharpness(conn, level.es, sharpness, len(points), lambda e: nv + e)
    return points, children, (child_uvs if uvs is not None else None), child


def remaining_sharpness(faces, n_vertices, sharpness, corners):
    """What the output lists after its faces: the creases (a, b, s) and the
    vertices (v, s) with sharpness above 0 that are not implicit corners."""
    implicit = implicit_corners(faces, n_vertices, corners)
    vertices = [(v, s) for v, s in enumerate(sharpness.vertices) if s > 0 and not implicit[v]]
    return sharpness.creases, vertices


def refine(positions, faces, iterations, scheme="auto", corners="sharp", uvs=None, sharpness=None,
           vertex_rule="edge-points"):
    """Applies the iterations. scheme 'auto' gives Loop to a mesh of triangles
    only and Catmull-Clark to any other; uvs, if given, holds per face the
    texture coordinates of its corners, and comes back refined the same way.
    Returns positions, faces, uvs and the remaining sharpness (None when the
    input has none; see remaining_sharpness)."""
    if scheme not in SCHEMES:
        raise ValueError(f"unknown scheme {scheme!r}")
    if corners not in CORNER_MODES:
        raise ValueError(f"unknown corner mode {corners!r}")
    if vertex_rule not in VERTEX_RULES:
        raise ValueError(f"unknown vertex rule {vertex_rule!r}")
    triangles = all(len(face) == 3 for face in faces)
    if scheme == "loop" and not triangles:
        raise ValueError("Loop subdivision needs a triangle mesh")
    step = loop if scheme == "loop" or (scheme == "auto" and triangles) else catmull_clark
    had_sharpness = sharpness is not None
    for _ in range(iterations):
        positions, faces, uvs, sharpness = step(positions, faces, corners, uvs, sharpness, vertex_rule)
    remaining = remaining_sharpness(faces, len(positions), sharpness, corners) if had_sharpness else None
    return positions, faces, uvs, remaining


def subdivide_text(text, iterations, scheme="auto", corners=None, uv=False, vertex_rule="edge-points",
                   crease_angle=None):
    """Reads OBJ text and refines it; corners None takes the mode of the tags,
    or sharp. With uv every face must carry texture indices and the refined
    per-corner texture coordinates come back third; the remaining sharpness
    comes fourth."""
    tag_lines = []
    positions, faces, face_uvs = parse_obj(text, tag_lines)
    if uv and any(corner_uvs is None for corner_uvs in face_uvs):
        raise ValueError("a face has no texture coordinates")
    sharpness, tag_corners = input_sharpness(positions, faces, tag_lines, crease_angle)
    corners = corners or tag_corners or "sharp"
    return refine(positions, faces, iterations, scheme, corners, face_uvs if uv else None, sharpness,
                  vertex_rule)


# Writing

def strtof(text):
    return libc.strtof(text.encode(), None)


def shortest_digits(value):
    """(c, q) with c * 10^q the decimal of fewest significant digits that
    strtof reads back as value > 0, the nearest to value among those (ties:
    the even c)."""
    exact = Fraction(value)
    x = 0
    while Fraction(10) ** x > exact:
        x -= 1
    while Fraction(10) ** (x + 1) <= exact:
        x += 1
    for q in range(x + 1, x - 10, -1):
        low = math.floor(exact / Fraction(10) ** q)
        fits = [c for c in (low, low + 1) if c > 0 and strtof(f"{c}e{q}") == value]
        if fits:
            c = min(fits, key=lambda c: (abs(c * Fraction(10) ** q - exact), c % 2))
            while c % 10 == 0:
                c, q = c // 10, q + 1
            return c, q
    raise AssertionError(f"no decimal reads back as {value!r}")


def format_shortest(value):
    """The fewest digits that read back as the float: fixed notation when the
    first digit's decimal exponent x is from -5 to 15 ("0.5", "1000000",
    "0.00001"), else d[.ddd]e[-]x ("1.5e-7", "3.4028235e38")."""
    if math.isnan(value) or math.isinf(value) or value == 0:
        text = "nan" if math.isnan(value) else "inf" if math.isinf(value) else "0"
        return ("-" if math.copysign(1.0, value) < 0 else "") + text
    c, q = shortest_digits(abs(value))
    digits = str(c)
    x = q + len(digits) - 1
    sign = "-" if value < 0 else ""
    if x < -5 or x > 15:
        mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
        return f"{sign}{mantissa}e{x}"
    if x < 0:
        return sign + "0." + "0" * (-x - 1) + digits
    whole, fraction = digits[:x + 1].ljust(x + 1, "0"), digits[x + 1:]
    return sign + whole + ("." + fraction if fraction else "")


def format_number(value, precision="6"):
    """A coordinate (or sharpness) as the tool prints it."""
    return "%f" % value if precision == "6" else format_shortest(value)


def write_obj(P, faces, precision="6", remaining=None):
    lines = ["# Vertices %d" % len(P)]
    lines += ["v " + " ".join(format_number(c, precision) for c in p) for p in P]
    lines += ["", "# Triangles %d" % len(faces)]
    lines += ["f " + " ".join(str(i + 1) for i in f) for f in faces]
    lines += sharpness_lines(remaining, precision)
    return "\n".join(lines) + "\n"


def sharpness_lines(remaining, precision="6"):
    """The t lines of the remaining sharpness, indices from 0."""
    if remaining is None:
        return []
    creases, vertices = remaining
    lines = ["t crease 2/1/0 %d %d %s" % (a, b, format_number(s, precision)) for a, b, s in creases]
    return lines + ["t corner 1/1/0 %d %s" % (v, format_number(s, precision)) for v, s in vertices]


def format_uv(uv, precision="6"):
    """A texture coordinate as the tool prints it after 'vt '."""
    return " ".join(format_number(c, precision) for c in uv)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("iterations", type=int)
    parser.add_argument("--scheme", choices=SCHEMES, default="auto")
    parser.add_argument("--corners", choices=CORNER_MODES)
    parser.add_argument("--vertex-rule", choices=VERTEX_RULES, default="edge-points")
    parser.add_argument("--crease-angle", type=float)
    parser.add_argument("--precision", choices=PRECISIONS, default="6")
    args = parser.parse_args()
    with open(args.input) as source:
        text = source.read()
    try:
        positions, faces, _, remaining = subdivide_text(
            text, args.iterations, args.scheme, args.corners, vertex_rule=args.vertex_rule,
            crease_angle=args.crease_angle)
    except (ValueError, AssertionError) as problem:
        sys.exit(f"{args.input}: {problem}")
    sys.stdout.write(write_obj(positions, faces, args.precision, remaining))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A slow, independent model of subdiv's refinement rules, used to produce and
check expected output bytes.

    subdivide_reference.py INPUT.obj ITERATIONS [--scheme=auto|loop|catmull-clark]
                           [--corners=sharp|smooth] [--vertex-rule=edge-points|classic]
                           [--crease-angle=DEG] [--precision=6|shortest]
                           [--uv[=linear|boundaries|corners-concave|corners-junctions|corners|smooth]]
                           > OUTPUT.obj

It reads the v, vt, f and t statements of an OBJ file (corners v, v/vt, v//vn
or v/vt/vn; 1-based or negative relative indices), numbers edges in the order
a scan of the faces first meets them, applies the Loop or Catmull-Clark rules
with every addition, multiplication and division rounded to single precision in
the tool's order, and prints the result in the tool's output format (positions,
texture coordinates with --uv, faces, and the sharpness that remains). Meshes
may be open (edges on one face) and, for Catmull-Clark, made of faces of any
size from 3 corners up.

Texture coordinates (--uv=MODE; --uv alone is linear) are carried per face
corner and told apart by their vt number: a seam edge is one whose two faces
give other numbers at either end. A face point takes the mean of its face's
corners; a seam edge (in linear and boundaries also a boundary edge) one
midpoint per side. The modes differ at seam vertices: the ends of seam
edges; in linear and boundaries every boundary vertex; in the three corners
modes with smooth corners a vertex on one face; and any vertex whose faces
give it more than one coordinate. Elsewhere a coordinate is matched and
follows the geometry's rules (linear: copied, midpoints), sharpness and
vertex rule included. At a seam vertex each span (a run of faces round it
with one coordinate) is kept or takes the crease rule (uv * 0.75) +
((a + b) * 0.125) with a and b its coordinates at the far ends of its two
bounding edges; see seam_vertex_values for when, and ring_spans for the walk
round the vertex.

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

Readings of the texture coordinate modes:
- Coordinates are told apart by vt number, as the tool finds seams today:
  two vt lines with the same (u, v) at one vertex make a seam there.
- A vertex whose faces give it two coordinates without a seam edge (fans
  that touch only there) is a seam vertex too. Whether smooth counts among
  the corners modes for a vertex on one face changes no value: the crease
  rule of its one-face span is the boundary rule, transitions included.
- The walk round a vertex (ring_spans): face i + 1 lies across the edge
  (previous vertex of face i, the vertex), counter-clockwise seen from the
  faces' front. A fan starts at the lowest face not yet walked, or, when
  walking back from it reaches a boundary edge, at the face there; a closed
  fan of several coordinates starts at the beginning of the run holding its
  lowest face (walking back while the coordinate stays the same), so no
  run is cut in two. Only the values' numbering (the A B A B rule) depends
  on the start: from a run of B, A B A B is B A B A', and A is creased.
- The values: a span starts a new value when its coordinate has not been
  seen, compared with the first value only while exactly two are known; a
  span is disjoint when its value (so counted) comes back in another span
  or an inner edge is a seam. In A B A B, A is disjoint and kept; the two
  runs of B are not, and in corners and smooth each takes the crease rule
  with its own ends: one coordinate of the input gets two values.
- A dart: one value in one closed fan with a seam edge; its span starts
  after the first seam edge met from the lowest face. With more seam edges
  the others are inner edges, so it is disjoint and kept.
- "Either span has an infinitely sharp or disjoint inner edge" and "either
  span has one face": any span at the vertex (a value may have two, A B A on
  a boundary), disjoint by either cause.
- "The vertex has sharpness 10": 10 or more, the implicit corners included.
- Kept while sharpness lasts: the span's values are the vertex's sharpness
  and its inner edges' below 10, vertex first, edges in ascending edge index.
  While any of those above 0 stays above 0 after this step's decay the value
  is copied; in the step where all reach 0, (uv * w) + (crease * (1 - w)), w
  their sum from 0 divided by their count, at most 1; later the crease rule.
- Two values where exactly one span has semi-sharp inner edges (corners-
  junctions, corners-concave): the spans of the other value take those edges
  as theirs, so they are kept as long and blended by the same w.
- A span that no edge bounds (a whole closed fan without a seam edge, at a
  vertex that is a seam vertex through another fan) is kept.
- Where one coordinate of the input gets two values (A B A B in corners and
  smooth, or one vt line on two vertices in any mode but linear) today's
  numbering has no line for the second: the output gives every further
  (number, value) a vt line of its own after the others (texcoord_lines).
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


class Texcoords:
    """Texture coordinates per face corner: ids[f][c] is the number of the
    coordinate at corner c of face f (its vt line, counted from 0, as the tool
    numbers them), values[f][c] its (u, v). table holds a value per number,
    the tool's vt lines: the ones no corner uses keep theirs, the others take
    their corners' values when written (see texcoord_lines)."""

    def __init__(self, ids, values, table):
        self.ids, self.values, self.table = ids, values, table


def parse_obj(text, tags=None, texcoords=None):
    """Positions, faces (lists of 0-based vertex indices) and, per face, the
    texture coordinates of its corners (None for a face without them). The
    words of each t statement are appended to tags, if given, with their line
    numbers; texcoords, if given (a Texcoords), takes the vt lines and each
    face's vt numbers (None for a face without them)."""
    positions, texcoords_read, faces, face_uvs, face_ids = [], [], [], [], []
    for number, line in enumerate(text.splitlines(), 1):
        words = line.split()
        if not words:
            continue
        if words[0] == "v":
            positions.append([f32(float(c)) for c in (words[1:4] + ["0", "0", "0"])[:3]])
        elif words[0] == "vt":
            texcoords_read.append([f32(float(c)) for c in (words[1:3] + ["0", "0"])[:2]])
        elif words[0] == "f":
            face, ids = [], []
            for corner in words[1:]:
                parts = corner.split("/")
                face.append(resolve_index(parts[0], len(positions)))
                if len(parts) > 1 and parts[1]:
                    ids.append(resolve_index(parts[1], len(texcoords_read)))
            assert len(ids) in (0, len(face)), "face with texture indices on some corners only"
            faces.append(face)
            face_uvs.append([texcoords_read[t] for t in ids] or None)
            face_ids.append(ids or None)
        elif words[0] == "t" and tags is not None:
            tags.append((number, words[1:]))
    if texcoords is not None:
        texcoords.ids, texcoords.values, texcoords.table = face_ids, face_uvs, texcoords_read
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


# The schemes' smooth rules, the same for positions and texture coordinates.

def cc_smooth_edge_point(a, b, fa, fb):
    """((fa + fb) + (a + b)) * 0.25: a and b the edge's ends, fa and fb the
    face points of its two faces."""
    return mul_p(add_p(add_p(fa, fb), add_p(a, b)), 0.25)


def cc_smooth_vertex_point(p, k, face_terms, edge_terms):
    """((k - 2) / k) * p + (1 / k^2) * S for a vertex of k edges, S summed
    from 0: the face points of its faces in ascending face order, then per
    edge in ascending edge order its edge point or (classic) its other end."""
    w_old, w_sum = f32((k - 2) / k), f32(1 / (k * k))
    S = [0.0] * len(p)
    for q in face_terms + edge_terms:
        S = add_p(S, q)
    return add_p(mul_p(p, w_old), mul_p(S, w_sum))


def loop_smooth_edge_point(a, b, p, q):
    """((a + b) * 0.375) + ((p + q) * 0.125), p and q the corners of the two
    faces that face the edge."""
    return add_p(mul_p(add_p(a, b), 0.375), mul_p(add_p(p, q), 0.125))


LOOP_PI = f32(3.14159274)


def loop_smooth_vertex_point(p, n_edges, S):
    """(p * alpha) + (S * beta) for a vertex of n edges, S the sum of their
    other ends (see neighbour_sum)."""
    n = f32(n_edges)
    kappa = libm.cosf(f32(mul(2.0, LOOP_PI) / n))
    beta = mul(f32(0.625 - libm.powf(add(mul(0.25, kappa), 0.375), 2.0)), f32(1.0 / n))
    alpha = f32(1.0 - mul(n, beta))
    return add_p(mul_p(p, alpha), mul_p(S, beta))


def neighbour_sum(P, conn, v):
    """The other ends of v's edges summed from 0 in ascending edge order."""
    S = [0.0] * len(P[v])
    for e in conn.vertex_edges[v]:
        S = add_p(S, P[conn.other_end(e, v)])
    return S


# Refinement steps. Each takes positions, faces, the Texcoords (or None) and
# the Sharpness, and returns the four for the refined mesh.

def catmull_clark(P, faces, corners="sharp", tex=None, sharpness=None, rule="edge-points", uv_mode="linear"):
    conn = Connectivity(faces, len(P))
    nv, nf = len(P), len(faces)
    sharpness = sharpness or Sharpness([], [0.0] * nv)
    level = LevelSharpness(faces, conn, sharpness, corners)

    face_points = [centroid([P[v] for v in face]) for face in faces]

    def smooth_edge_point(e):
        a, b = conn.ends[e]
        fa, fb = (face_points[f] for f, _ in conn.sides[e])
        return cc_smooth_edge_point(P[a], P[b], fa, fb)

    edge_points = [edge_point(level.es[e], P[a], P[b], lambda e=e: smooth_edge_point(e))
                   for e, (a, b) in enumerate(conn.ends)]

    def smooth_vertex_point(v):
        edges = conn.vertex_edges[v]
        ends = [P[conn.other_end(e, v)] if rule == "classic" else edge_points[e] for e in edges]
        return cc_smooth_vertex_point(P[v], len(edges), [face_points[f] for f in conn.vertex_faces[v]], ends)

    vertex_points = [vertex_point(P, conn, level, v, smooth_vertex_point) for v in range(nv)]

    # Face f with n corners gives n quads: corner c, the edge point of the side
    # leaving it, the face point, the edge point of the side arriving at it.
    children = []
    for f, face in enumerate(faces):
        E = [nv + nf + e for e in conn.face_edges[f]]
        for c in range(len(face)):
            children.append([face[c], E[c], nv + f, E[c - 1]])
    points = vertex_points + face_points + edge_points
    child = child_sharpness(conn, level.es, sharpness, len(points), lambda e: nv + nf + e)
    child_tex = None if tex is None else texcoord_step(tex, faces, conn, level, False, uv_mode, rule, corners)
    return points, children, child_tex, child


def loop(P, faces, corners="sharp", tex=None, sharpness=None, rule="edge-points", uv_mode="linear"):
    assert all(len(face) == 3 for face in faces), "Loop subdivision needs a triangle mesh"
    conn = Connectivity(faces, len(P))
    nv = len(P)
    sharpness = sharpness or Sharpness([], [0.0] * nv)
    level = LevelSharpness(faces, conn, sharpness, corners)

    def smooth_edge_point(e):
        a, b = conn.ends[e]
        p, q = (P[faces[f][(k + 2) % 3]] for f, k in conn.sides[e])
        return loop_smooth_edge_point(P[a], P[b], p, q)

    edge_points = [edge_point(level.es[e], P[a], P[b], lambda e=e: smooth_edge_point(e))
                   for e, (a, b) in enumerate(conn.ends)]

    def smooth_vertex_point(v):
        return loop_smooth_vertex_point(P[v], len(conn.vertex_edges[v]), neighbour_sum(P, conn, v))

    vertex_points = [vertex_point(P, conn, level, v, smooth_vertex_point) for v in range(nv)]

    children = []
    for f, (c0, c1, c2) in enumerate(faces):
        m0, m1, m2 = (nv + e for e in conn.face_edges[f])
        children += [[c0, m0, m2], [m0, c1, m1], [m1, c2, m2], [m1, m2, m0]]
    points = vertex_points + edge_points
    child = child_sharpness(conn, level.es, sharpness, len(points), lambda e: nv + e)
    child_tex = None if tex is None else texcoord_step(tex, faces, conn, level, True, uv_mode, rule, corners)
    return points, children, child_tex, child


# Texture coordinates

UV_MODES = ("linear", "boundaries", "corners-concave", "corners-junctions", "corners", "smooth")
CORNER_UV_MODES = ("corners-concave", "corners-junctions", "corners")


def is_seam(tex, faces, conn, e):
    """Whether the two faces of edge e give other coordinates at either of
    its ends (an edge on one face is none)."""
    if conn.is_boundary(e):
        return False
    (f, k), (g, j) = conn.sides[e]
    ids_f, ids_g = tex.ids[f], tex.ids[g]
    return (ids_f[k], ids_f[(k + 1) % len(ids_f)]) != (ids_g[(j + 1) % len(ids_g)], ids_g[j])


class Span:
    """A run of faces round a vertex with one coordinate. corners lists
    (face, corner at the vertex) in ring order; inner the edges between them,
    ascending; ends the two coordinates at the far ends of its bounding edges
    (None when no edge bounds it); whole whether it is a whole closed fan;
    value the number of the ring value it belongs to."""

    def __init__(self, tex, conn, run, bounded, whole):
        self.corners, self.whole = run, whole
        f, c = run[0]
        self.id = tex.ids[f][c]
        between = run if whole and not bounded else run[:-1]
        self.inner = sorted(conn.face_edges[g][d - 1] for g, d in between)
        g, d = run[-1]
        self.ends = (tex.values[f][(c + 1) % len(tex.values[f])], tex.values[g][d - 1]) if bounded else None


def ring_spans(tex, faces, conn, seam, corners_at_v):
    """The spans round a vertex, fan after fan (a vertex where open fans
    touch has several), each fan in ring order: face i + 1 lies across the
    edge (previous vertex of face i, the vertex). A fan starts at the lowest
    face not yet walked, or, when walking back from it ends at a boundary
    edge, at the face there. A closed fan of one coordinate is one span that
    starts after the first seam edge met from its start face (a dart); a
    closed fan of several starts at the beginning of the run holding its start
    face, so that no run is cut in two."""
    def across(e, f, shift):
        if conn.is_boundary(e):
            return None
        g, k = next(side for side in conn.sides[e] if side[0] != f)
        return g, (k + shift) % len(faces[g])

    def after(corner):  # the next face: across the edge (previous vertex, v)
        f, c = corner
        return across(conn.face_edges[f][c - 1], f, 0)

    def before(corner):  # the face before: across the edge (v, next vertex)
        f, c = corner
        return across(conn.face_edges[f][c], f, 1)

    def coordinate(corner):
        return tex.ids[corner[0]][corner[1]]

    walked, spans = set(), []
    for first in corners_at_v:
        if first[0] in walked:
            continue
        start, closed = first, False
        while (back := before(start)) is not None:
            if back == first:
                start, closed = first, True
                break
            start = back
        fan = [start]
        while (ahead := after(fan[-1])) is not None and ahead != fan[0]:
            fan.append(ahead)
        walked.update(f for f, _ in fan)
        if closed and all(coordinate(x) == coordinate(fan[0]) for x in fan):
            cuts = [i for i, (f, c) in enumerate(fan) if seam[conn.face_edges[f][c - 1]]]
            if cuts:
                fan = fan[cuts[0] + 1:] + fan[:cuts[0] + 1]
            spans.append(Span(tex, conn, fan, bool(cuts), True))
            continue
        if closed:
            r = 0
            while coordinate(fan[r - 1]) == coordinate(fan[0]):
                r -= 1
            fan = fan[r:] + fan[:r]
        run = [fan[0]]
        for x in fan[1:] + [None]:
            if x is not None and coordinate(x) == coordinate(run[0]):
                run.append(x)
                continue
            spans.append(Span(tex, conn, run, True, False))
            run = [x]

    # The ring's values: a span starts a new one when its coordinate has not
    # been seen, except that while exactly two have been seen it is compared
    # with the first only (in A B A B the second run of B is a value of its own).
    values = []
    for span in spans:
        seen = values[:1] if len(values) == 2 else values
        if span.id in seen:
            span.value = seen.index(span.id)
        else:
            span.value = len(values)
            values.append(span.id)
    return spans


def crease_rule(uv, ends):
    """(uv * 0.75) + ((a + b) * 0.125)."""
    return add_p(mul_p(uv, 0.75), mul_p(add_p(*ends), 0.125))


def seam_vertex_values(tex, conn, level, seam, spans, v, mode):
    """(corners, value) for each span of a seam vertex: kept (copied), the
    crease rule, or kept while a semi-sharp vertex or inner edge lasts and
    blended with the crease rule in the step it runs out."""
    n_values = max(span.value for span in spans) + 1
    for span in spans:
        span.disjoint = (sum(other.value == span.value for other in spans) > 1
                         or any(seam[e] for e in span.inner))
        span.infinitely_sharp = any(level.es[e] >= INFINITELY_SHARP for e in span.inner)
        span.semi_sharp = [e for e in span.inner if 0 < level.es[e] < INFINITELY_SHARP]
    vs = level.vs[v]
    all_sharp = mode in ("linear", "boundaries") or vs >= INFINITELY_SHARP
    if mode in ("corners-junctions", "corners-concave"):
        all_sharp = all_sharp or n_values >= 3 or (
            n_values == 2 and any(span.infinitely_sharp or span.disjoint for span in spans))
        if mode == "corners-concave":
            dart = len(spans) == 1 and spans[0].whole and spans[0].ends is not None
            all_sharp = all_sharp or dart or (n_values == 2 and any(len(span.corners) == 1 for span in spans))
        # two values, one with semi-sharp inner edges: the other keeps as long
        semi = [span for span in spans if span.semi_sharp]
        if n_values == 2 and len(semi) == 1:
            for span in spans:
                if span.value != semi[0].value:
                    span.semi_sharp = semi[0].semi_sharp
    result = []
    for span in spans:
        f, c = span.corners[0]
        uv = tex.values[f][c]
        if (span.disjoint or all_sharp or span.infinitely_sharp or span.ends is None
                or (len(span.corners) == 1 and mode != "smooth")):
            result.append((span.corners, uv))
            continue
        crease = crease_rule(uv, span.ends)
        sharp = [s for s in [vs] + [level.es[e] for e in span.semi_sharp] if s > 0]
        if not sharp:
            value = crease
        elif any(decay(s) > 0 for s in sharp):
            value = uv
        else:
            w = 0.0
            for s in sharp:
                w = add(w, s)
            w = min(div(w, f32(len(sharp))), 1.0)
            value = add_p(mul_p(uv, w), mul_p(crease, f32(1.0 - w)))
        result.append((span.corners, value))
    return result


def texcoord_step(tex, faces, conn, level, loop_scheme, mode, rule, corners):
    """The Texcoords of the children of faces (Loop's or Catmull-Clark's),
    numbered as the tool numbers them: the old ones, then one per face
    (Catmull-Clark), then per edge in edge order one, or two on a seam (the
    side of the face that first meets it first). See the docstring at the top
    for the rules of each mode."""
    nv, nf = len(conn.vertex_edges), len(faces)
    ids, vals = tex.ids, tex.values
    seam = [is_seam(tex, faces, conn, e) for e in range(conn.n_edges)]
    split_boundary = mode in ("linear", "boundaries")

    def side_midpoint(f, k):
        return midpoint(vals[f][k], vals[f][(k + 1) % len(faces[f])])

    face_uv = [centroid(vals[f]) for f in range(nf)]
    edge_uv = []
    for e in range(conn.n_edges):
        if seam[e] or (split_boundary and conn.is_boundary(e)):
            edge_uv.append([side_midpoint(f, k) for f, k in conn.sides[e]])
            continue
        f, k = conn.sides[e][0]
        a, b = vals[f][k], vals[f][(k + 1) % len(faces[f])]
        if mode == "linear":
            point = midpoint(a, b)
        else:
            def smooth(f=f, k=k, e=e, a=a, b=b):
                g, j = conn.sides[e][1]
                if loop_scheme:
                    return loop_smooth_edge_point(a, b, vals[f][(k + 2) % 3], vals[g][(j + 2) % 3])
                return cc_smooth_edge_point(a, b, face_uv[f], face_uv[g])
            point = edge_point(level.es[e], a, b, smooth)
        edge_uv.append([point] * len(conn.sides[e]))

    corners_at = [[] for _ in range(nv)]
    for f, face in enumerate(faces):
        for c, v in enumerate(face):
            corners_at[v].append((f, c))
    seam_vertex = [len({ids[f][c] for f, c in at}) > 1 for at in corners_at]
    for e in range(conn.n_edges):
        if seam[e] or (split_boundary and conn.is_boundary(e)):
            for v in conn.ends[e]:
                seam_vertex[v] = True
    if mode in CORNER_UV_MODES and corners == "smooth":
        for v, at in enumerate(corners_at):
            seam_vertex[v] = seam_vertex[v] or len(at) == 1

    def end_uv(e, v):
        """The coordinate at the other end of v's edge e, read in its first face."""
        f, k = conn.sides[e][0]
        return vals[f][(k + 1) % len(faces[f])] if faces[f][k] == v else vals[f][k]

    new_vals = [list(row) for row in vals]
    for v, at in enumerate(corners_at):
        if not at:
            continue
        if seam_vertex[v]:
            spans = ring_spans(tex, faces, conn, seam, at)
            for span_corners, value in seam_vertex_values(tex, conn, level, seam, spans, v, mode):
                for f, c in span_corners:
                    new_vals[f][c] = value
            continue
        if mode == "linear":
            continue
        # a matched vertex: the geometry's rules on the coordinates
        view = {conn.other_end(e, v): end_uv(e, v) for e in conn.vertex_edges[v]}
        view[v] = vals[at[0][0]][at[0][1]]

        def smooth_vertex_point(v):
            edges = conn.vertex_edges[v]
            if loop_scheme:
                return loop_smooth_vertex_point(view[v], len(edges), neighbour_sum(view, conn, v))
            ends = [view[conn.other_end(e, v)] if rule == "classic" else edge_uv[e][0] for e in edges]
            return cc_smooth_vertex_point(view[v], len(edges), [face_uv[f] for f in conn.vertex_faces[v]], ends)

        value = vertex_point(view, conn, level, v, smooth_vertex_point)
        for f, c in at:
            new_vals[f][c] = value

    # numbers of the new coordinates, and the children's corners
    count = len(tex.table)
    edge_ids, next_id = [], count + (0 if loop_scheme else nf)
    for e in range(conn.n_edges):
        edge_ids.append([next_id, next_id + 1] if seam[e] else [next_id] * len(conn.sides[e]))
        next_id += 2 if seam[e] else 1
    table = tex.table + ([] if loop_scheme else face_uv)
    for e in range(conn.n_edges):
        table += edge_uv[e][:2 if seam[e] else 1]

    def side(f, e):
        s = 0 if conn.sides[e][0][0] == f else 1
        return edge_ids[e][s], edge_uv[e][s]

    child_ids, child_vals = [], []
    for f, face in enumerate(faces):
        corner = list(zip(ids[f], new_vals[f]))
        mids = [side(f, e) for e in conn.face_edges[f]]
        if loop_scheme:
            (c0, c1, c2), (h0, h1, h2) = corner, mids
            children = [[c0, h0, h2], [h0, c1, h1], [h1, c2, h2], [h1, h2, h0]]
        else:
            middle = (count + f, face_uv[f])
            children = [[corner[c], mids[c], middle, mids[c - 1]] for c in range(len(face))]
        for child in children:
            child_ids.append([t for t, _ in child])
            child_vals.append([uv for _, uv in child])
    return Texcoords(child_ids, child_vals, table)


def texcoords_by_value(face_uvs):
    """Texcoords for per-face corner coordinates given as values: equal
    values share a number, in order of first use."""
    numbers = {}
    ids = [[numbers.setdefault(tuple(uv), len(numbers)) for uv in row] for row in face_uvs]
    return Texcoords(ids, [[list(uv) for uv in row] for row in face_uvs], [list(uv) for uv in numbers])


def remaining_sharpness(faces, n_vertices, sharpness, corners):
    """What the output lists after its faces: the creases (a, b, s) and the
    vertices (v, s) with sharpness above 0 that are not implicit corners."""
    implicit = implicit_corners(faces, n_vertices, corners)
    vertices = [(v, s) for v, s in enumerate(sharpness.vertices) if s > 0 and not implicit[v]]
    return sharpness.creases, vertices


def refine(positions, faces, iterations, scheme="auto", corners="sharp", uvs=None, sharpness=None,
           vertex_rule="edge-points", uv_mode="linear"):
    """Applies the iterations. scheme 'auto' gives Loop to a mesh of triangles
    only and Catmull-Clark to any other; uvs, if given, is a Texcoords or per
    face the texture coordinates of its corners (equal ones then share a
    number), and comes back a refined Texcoords, by uv_mode. Returns
    positions, faces, the Texcoords and the remaining sharpness (None when
    the input has none; see remaining_sharpness)."""
    if scheme not in SCHEMES:
        raise ValueError(f"unknown scheme {scheme!r}")
    if corners not in CORNER_MODES:
        raise ValueError(f"unknown corner mode {corners!r}")
    if vertex_rule not in VERTEX_RULES:
        raise ValueError(f"unknown vertex rule {vertex_rule!r}")
    if uv_mode not in UV_MODES:
        raise ValueError(f"unknown texture coordinate mode {uv_mode!r}")
    triangles = all(len(face) == 3 for face in faces)
    if scheme == "loop" and not triangles:
        raise ValueError("Loop subdivision needs a triangle mesh")
    step = loop if scheme == "loop" or (scheme == "auto" and triangles) else catmull_clark
    if uvs is not None and not isinstance(uvs, Texcoords):
        uvs = texcoords_by_value(uvs)
    had_sharpness = sharpness is not None
    for _ in range(iterations):
        positions, faces, uvs, sharpness = step(positions, faces, corners, uvs, sharpness, vertex_rule, uv_mode)
    remaining = remaining_sharpness(faces, len(positions), sharpness, corners) if had_sharpness else None
    return positions, faces, uvs, remaining


def subdivide_text(text, iterations, scheme="auto", corners=None, uv=False, vertex_rule="edge-points",
                   crease_angle=None):
    """Reads OBJ text and refines it; corners None takes the mode of the tags,
    or sharp. uv True or a mode of UV_MODES (True: linear) refines the texture
    coordinates, which every face must then carry, and returns their
    Texcoords third; the remaining sharpness comes fourth."""
    tag_lines, tex = [], Texcoords(None, None, None)
    positions, faces, face_uvs = parse_obj(text, tag_lines, tex)
    if uv and any(corner_uvs is None for corner_uvs in face_uvs):
        raise ValueError("a face has no texture coordinates")
    sharpness, tag_corners = input_sharpness(positions, faces, tag_lines, crease_angle)
    corners = corners or tag_corners or "sharp"
    return refine(positions, faces, iterations, scheme, corners, tex if uv else None, sharpness,
                  vertex_rule, "linear" if uv is True else uv or "linear")


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


def write_obj(P, faces, precision="6", remaining=None, tex=None):
    """The tool's OBJ output; with tex (a Texcoords) its vt lines and faces
    f v/vt (see texcoord_lines)."""
    lines = ["# Vertices %d" % len(P)]
    lines += ["v " + " ".join(format_number(c, precision) for c in p) for p in P]
    corners = [[str(i + 1) for i in f] for f in faces]
    if tex is not None:
        vt_lines, numbers = texcoord_lines(tex, precision)
        lines += ["", "# Texture coordinates %d" % len(vt_lines)] + vt_lines
        corners = [[f"{v}/{t + 1}" for v, t in zip(row, ts)] for row, ts in zip(corners, numbers)]
    lines += ["", "# Triangles %d" % len(faces)]
    lines += ["f " + " ".join(row) for row in corners]
    lines += sharpness_lines(remaining, precision)
    return "\n".join(lines) + "\n"


def texcoord_lines(tex, precision="6"):
    """The vt lines and each face corner's vt number (from 0): the table,
    each number taking the value of its first corner in face order. A corner
    whose value differs from its number's (one coordinate of the input that
    the rules give two values: on two vertices, or in a ring A B A B) gets a
    line of its own after the table, one per number and value."""
    table, claimed, extra, numbers = list(tex.table), set(), {}, []
    for row_ids, row_values in zip(tex.ids, tex.values):
        row = []
        for t, uv in zip(row_ids, row_values):
            if t not in claimed:
                claimed.add(t)
                table[t] = uv
            if struct.pack("2f", *table[t]) == struct.pack("2f", *uv):
                row.append(t)
            else:
                row.append(extra.setdefault((t, struct.pack("2f", *uv)), len(table) + len(extra)))
        numbers.append(row)
    table += [list(struct.unpack("2f", bits)) for _, bits in extra]
    return ["vt " + format_uv(uv, precision) for uv in table], numbers


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
    parser.add_argument("--uv", choices=UV_MODES)  # --uv alone: linear
    args = parser.parse_args(["--uv=linear" if arg == "--uv" else arg for arg in sys.argv[1:]])
    with open(args.input) as source:
        text = source.read()
    try:
        positions, faces, tex, remaining = subdivide_text(
            text, args.iterations, args.scheme, args.corners, args.uv, args.vertex_rule, args.crease_angle)
    except (ValueError, AssertionError) as problem:
        sys.exit(f"{args.input}: {problem}")
    sys.stdout.write(write_obj(positions, faces, args.precision, remaining, tex))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A slow, independent model of subdiv's refinement rules, used to produce and
check expected output bytes.

    subdivide_reference.py INPUT.obj ITERATIONS [--scheme=auto|loop|catmull-clark]
                           [--corners=sharp|smooth] > OUTPUT.obj

It reads the v, vt and f statements of an OBJ file (corners v, v/vt, v//vn or
v/vt/vn; 1-based or negative relative indices), numbers edges in the order a
scan of the faces first meets them, applies the Loop or Catmull-Clark rules
with every addition, multiplication and division rounded to single precision in
the tool's order, and prints the result in the tool's output format (positions
and faces). Meshes may be open (edges on one face) and, for Catmull-Clark, made
of faces of any size from 3 corners up. Texture coordinates are carried per
face corner and interpolated linearly, so seams stay where they are; the
command line does not print them, refine() returns them.

Single-precision rounding is emulated by rounding each double result to
float32: a double holds the exact sum or product of two float32 values, and the
double quotient of two float32 values rounds to the correctly rounded float32
quotient, so one rounding gives the float32 result. cosf and powf come from the
C library, as in the tool.
"""
import argparse
import ctypes
import struct
import sys

libm = ctypes.CDLL("libm.so.6")
libm.cosf.restype = ctypes.c_float
libm.cosf.argtypes = [ctypes.c_float]
libm.powf.restype = ctypes.c_float
libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]

SCHEMES = ("auto", "loop", "catmull-clark")
CORNER_MODES = ("sharp", "smooth")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


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


# Reading

def resolve_index(text, count):
    """A 1-based index, or a negative one counted back from the last item read."""
    i = int(text)
    index = i - 1 if i > 0 else count + i
    assert i != 0 and 0 <= index < count, f"index {text} out of range"
    return index


def parse_obj(text):
    """Positions, faces (lists of 0-based vertex indices) and, per face, the
    texture coordinates of its corners (None for a face without them)."""
    positions, texcoords, faces, face_uvs = [], [], [], []
    for line in text.splitlines():
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
    return positions, faces, face_uvs


def read_obj(text):
    positions, faces, _ = parse_obj(text)
    return positions, faces


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
        # appears), its edges and its boundary edges in ascending edge order.
        self.vertex_faces = [[] for _ in range(n_vertices)]
        for f, face in enumerate(faces):
            for v in face:
                self.vertex_faces[v].append(f)
        self.vertex_edges = [[] for _ in range(n_vertices)]
        self.vertex_boundary_edges = [[] for _ in range(n_vertices)]
        for e, (a, b) in enumerate(self.ends):
            for v in (a, b):
                self.vertex_edges[v].append(e)
                if self.is_boundary(e):
                    self.vertex_boundary_edges[v].append(e)

    def is_boundary(self, e):
        return len(self.sides[e]) == 1

    def other_end(self, e, v):
        a, b = self.ends[e]
        return b if v == a else a

    def vertex_kind(self, v, corners):
        """'unused', 'interior', 'boundary' or 'corner'."""
        if not self.vertex_edges[v]:
            return "unused"
        n_boundary = len(self.vertex_boundary_edges[v])
        if n_boundary == 0:
            return "interior"
        if n_boundary != 2:
            return "corner"
        if corners == "sharp" and len(set(self.vertex_faces[v])) == 1:
            return "corner"
        return "boundary"


def boundary_vertex_point(P, conn, v):
    """(P x 0.75) + ((a + b) x 0.125), a and b the other ends of the vertex's
    two boundary edges, a on the one of lower edge index."""
    e1, e2 = conn.vertex_boundary_edges[v]
    a, b = P[conn.other_end(e1, v)], P[conn.other_end(e2, v)]
    return add_p(mul_p(P[v], 0.75), mul_p(add_p(a, b), 0.125))


# Refinement steps. Each takes positions, faces and the per-face corner texture
# coordinates (or None) and returns the three for the refined mesh.

def catmull_clark(P, faces, corners="sharp", uvs=None):
    conn = Connectivity(faces, len(P))
    nv, nf = len(P), len(faces)

    face_points = [centroid([P[v] for v in face]) for face in faces]

    edge_points = []
    for e, (a, b) in enumerate(conn.ends):
        if conn.is_boundary(e):
            edge_points.append(midpoint(P[a], P[b]))
        else:
            fa, fb = (face_points[f] for f, _ in conn.sides[e])
            edge_points.append(mul_p(add_p(add_p(fa, fb), add_p(P[a], P[b])), 0.25))

    vertex_points = []
    for v in range(nv):
        kind = conn.vertex_kind(v, corners)
        if kind in ("unused", "corner"):
            vertex_points.append(list(P[v]))
        elif kind == "boundary":
            vertex_points.append(boundary_vertex_point(P, conn, v))
        else:
            k = len(conn.vertex_edges[v])
            w_old, w_sum = f32((k - 2) / k), f32(1 / (k * k))
            S = [0.0, 0.0, 0.0]
            for f in conn.vertex_faces[v]:
                S = add_p(S, face_points[f])
            for e in conn.vertex_edges[v]:
                S = add_p(S, edge_points[e])
            vertex_points.append(add_p(mul_p(P[v], w_old), mul_p(S, w_sum)))

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
    return vertex_points + face_points + edge_points, children, (child_uvs if uvs is not None else None)


def loop(P, faces, corners="sharp", uvs=None):
    assert all(len(face) == 3 for face in faces), "Loop subdivision needs a triangle mesh"
    conn = Connectivity(faces, len(P))
    nv = len(P)

    edge_points = []
    for e, (a, b) in enumerate(conn.ends):
        if conn.is_boundary(e):
            edge_points.append(midpoint(P[a], P[b]))
        else:
            p, q = (P[faces[f][(k + 2) % 3]] for f, k in conn.sides[e])
            edge_points.append(add_p(mul_p(add_p(P[a], P[b]), 0.375), mul_p(add_p(p, q), 0.125)))

    # Neighbour sums of the interior vertices, edge by edge: both ends of an
    # edge add the other's old position.
    S = [[0.0, 0.0, 0.0] for _ in range(nv)]
    for a, b in conn.ends:
        S[a] = add_p(S[a], P[b])
        S[b] = add_p(S[b], P[a])

    pi = f32(3.14159274)
    vertex_points = []
    for v in range(nv):
        kind = conn.vertex_kind(v, corners)
        if kind in ("unused", "corner"):
            vertex_points.append(list(P[v]))
        elif kind == "boundary":
            vertex_points.append(boundary_vertex_point(P, conn, v))
        else:
            n = f32(len(conn.vertex_edges[v]))
            kappa = libm.cosf(f32(mul(2.0, pi) / n))
            beta = mul(f32(0.625 - libm.powf(add(mul(0.25, kappa), 0.375), 2.0)), f32(1.0 / n))
            alpha = f32(1.0 - mul(n, beta))
            vertex_points.append(add_p(mul_p(P[v], alpha), mul_p(S[v], beta)))

    children, child_uvs = [], []
    for f, (c0, c1, c2) in enumerate(faces):
        m0, m1, m2 = (nv + e for e in conn.face_edges[f])
        children += [[c0, m0, m2], [m0, c1, m1], [m1, c2, m2], [m1, m2, m0]]
        if uvs is not None:
            u0, u1, u2 = uvs[f]
            h0, h1, h2 = midpoint(u0, u1), midpoint(u1, u2), midpoint(u2, u0)
            child_uvs += [[u0, h0, h2], [h0, u1, h1], [h1, u2, h2], [h1, h2, h0]]
    return vertex_points + edge_points, children, (child_uvs if uvs is not None else None)


def refine(positions, faces, iterations, scheme="auto", corners="sharp", uvs=None):
    """Applies the iterations. scheme 'auto' gives Loop to a mesh of triangles
    only and Catmull-Clark to any other; uvs, if given, holds per face the
    texture coordinates of its corners, and comes back refined the same way."""
    if scheme not in SCHEMES:
        raise ValueError(f"unknown scheme {scheme!r}")
    if corners not in CORNER_MODES:
        raise ValueError(f"unknown corner mode {corners!r}")
    triangles = all(len(face) == 3 for face in faces)
    if scheme == "loop" and not triangles:
        raise ValueError("Loop subdivision needs a triangle mesh")
    step = loop if scheme == "loop" or (scheme == "auto" and triangles) else catmull_clark
    for _ in range(iterations):
        positions, faces, uvs = step(positions, faces, corners, uvs)
    return positions, faces, uvs


def subdivide_text(text, iterations, scheme="auto", corners="sharp", uv=False):
    """Reads OBJ text and refines it; with uv, every face must carry texture
    indices and the refined per-corner texture coordinates come back third."""
    positions, faces, face_uvs = parse_obj(text)
    if uv and any(corner_uvs is None for corner_uvs in face_uvs):
        raise ValueError("a face has no texture coordinates")
    return refine(positions, faces, iterations, scheme, corners, face_uvs if uv else None)


# Writing

def write_obj(P, faces):
    lines = ["# Vertices %d" % len(P)]
    lines += ["v %f %f %f" % tuple(p) for p in P]
    lines += ["", "# Triangles %d" % len(faces)]
    lines += ["f " + " ".join(str(i + 1) for i in f) for f in faces]
    return "\n".join(lines) + "\n"


def format_uv(uv):
    """A texture coordinate as the tool prints it after 'vt '."""
    return "%f %f" % tuple(uv)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input")
    parser.add_argument("iterations", type=int)
    parser.add_argument("--scheme", choices=SCHEMES, default="auto")
    parser.add_argument("--corners", choices=CORNER_MODES, default="sharp")
    args = parser.parse_args()
    with open(args.input) as source:
        text = source.read()
    try:
        positions, faces, _ = subdivide_text(text, args.iterations, args.scheme, args.corners)
    except (ValueError, AssertionError) as problem:
        sys.exit(f"{args.input}: {problem}")
    sys.stdout.write(write_obj(positions, faces))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""A slow, independent model of subdiv's refinement rules, used to produce and
check expected output bytes.

    subdivide_reference.py INPUT.obj ITERATIONS > OUTPUT.obj

It reads the v and f statements of a closed all-triangle or all-quad OBJ file
(plain 1-based indices), numbers edges in the order a scan of the faces first
meets them, applies the Loop or Catmull-Clark rules with every addition and
multiplication rounded to single precision in the tool's order, and prints the
result in the tool's output format. Single-precision rounding is emulated by
rounding each double result to float32: a double holds the exact sum or
product of two float32 values, so one rounding gives the float32 result.
cosf and powf come from the C library, as in the tool.
"""
import ctypes
import struct
import sys

libm = ctypes.CDLL("libm.so.6")
libm.cosf.restype = ctypes.c_float
libm.cosf.argtypes = [ctypes.c_float]
libm.powf.restype = ctypes.c_float
libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def add(a, b):
    return f32(a + b)


def mul(a, b):
    return f32(a * b)


def read_obj(text):
    positions, faces = [], []
    for line in text.splitlines():
        words = line.split()
        if words and words[0] == "v":
            positions.append([f32(float(c)) for c in (words[1:4] + ["0", "0", "0"])[:3]])
        elif words and words[0] == "f":
            faces.append([int(c.split("/")[0]) - 1 for c in words[1:]])
    return positions, faces


def connectivity(faces, n_vertices):
    """Half-edges: the face that first meets an edge holds 2e, its neighbour 2e + 1."""
    open_edges, n_edges = {}, 0
    face_iedges, origin, face_of, following = [], {}, {}, {}
    for f, q in enumerate(faces):
        n = len(q)
        hs = []
        for k in range(n):
            a, b = q[k], q[(k + 1) % n]
            if (b, a) in open_edges:
                hs.append(2 * open_edges.pop((b, a)) + 1)
            else:
                open_edges[(a, b)] = n_edges
                hs.append(2 * n_edges)
                n_edges += 1
        for k in range(n):
            origin[hs[k]], face_of[hs[k]], following[hs[k]] = q[k], f, hs[(k + 1) % n]
        face_iedges.append(hs)
    assert not open_edges, "mesh is not closed"
    valence = [0] * n_vertices
    for h in range(0, 2 * n_edges, 2):
        valence[origin[h]] += 1
        valence[origin[h + 1]] += 1
    return n_edges, face_iedges, origin, face_of, following, valence


def catmull_clark(P, faces):
    n_edges, fe, origin, face_of, _, valence = connectivity(faces, len(P))
    nv, nf = len(P), len(faces)
    out = [[0.0] * 3 for _ in range(nv + nf + n_edges)]
    for f, q in enumerate(faces):  # face points, added into their corners
        for a in range(3):
            out[nv + f][a] = mul(add(add(add(P[q[0]][a], P[q[1]][a]), P[q[2]][a]), P[q[3]][a]), 0.25)
        for c in range(4):
            for a in range(3):
                out[q[c]][a] = add(out[q[c]][a], out[nv + f][a])
    for e in range(n_edges):  # edge points, added into their ends
        A, B = origin[2 * e], origin[2 * e + 1]
        FA, FB = nv + face_of[2 * e], nv + face_of[2 * e + 1]
        point = out[nv + nf + e]
        for a in range(3):
            point[a] = mul(add(add(out[FA][a], out[FB][a]), add(P[A][a], P[B][a])), 0.25)
        for end in (A, B):
            for a in range(3):
                out[end][a] = add(out[end][a], point[a])
    for v in range(nv):  # vertex points
        k = valence[v]
        w_old, w_sum = (f32((k - 2) / k), f32(1 / (k * k))) if k else (1.0, 0.0)
        for a in range(3):
            out[v][a] = add(mul(w_old, P[v][a]), mul(w_sum, out[v][a]))
    children = []
    for f, q in enumerate(faces):
        e = [nv + nf + (h >> 1) for h in fe[f]]
        for c in range(4):
            children.append([q[c], e[c], nv + f, e[c - 1]])
    return out, children


def loop(P, faces):
    n_edges, fe, origin, _, following, valence = connectivity(faces, len(P))
    nv = len(P)
    out = [[0.0] * 3 for _ in range(nv + n_edges)]
    for e in range(n_edges):  # edge points and neighbour sums
        h, t = 2 * e, 2 * e + 1
        A, B = origin[h], origin[t]
        OA, OB = origin[following[following[h]]], origin[following[following[t]]]
        for a in range(3):
            out[nv + e][a] = add(mul(add(P[A][a], P[B][a]), 0.375), mul(add(P[OA][a], P[OB][a]), 0.125))
        for a in range(3):
            out[A][a] = add(out[A][a], P[B][a])
        for a in range(3):
            out[B][a] = add(out[B][a], P[A][a])
    pi = f32(3.14159274)
    for v in range(nv):  # vertex points
        n = f32(valence[v])
        if n == 0:
            alpha, beta = 1.0, 0.0
        else:
            kappa = libm.cosf(f32(mul(2.0, pi) / n))
            beta = mul(f32(0.625 - libm.powf(add(mul(0.25, kappa), 0.375), 2.0)), f32(1.0 / n))
            alpha = f32(1.0 - mul(n, beta))
        for a in range(3):
            out[v][a] = add(mul(P[v][a], alpha), mul(out[v][a], beta))
    children = []
    for f, (c0, c1, c2) in enumerate(faces):
        m0, m1, m2 = (nv + (h >> 1) for h in fe[f])
        children += [[c0, m0, m2], [m0, c1, m1], [m1, c2, m2], [m1, m2, m0]]
    return out, children


def write_obj(P, faces):
    lines = ["# Vertices %d" % len(P)]
    lines += ["v %f %f %f" % tuple(p) for p in P]
    lines += ["", "# Triangles %d" % len(faces)]
    lines += ["f " + " ".join(str(i + 1) for i in f) for f in faces]
    return "\n".join(lines) + "\n"


def main():
    with open(sys.argv[1]) as source:
        P, faces = read_obj(source.read())
    for _ in range(int(sys.argv[2])):
        P, faces = (catmull_clark if len(faces[0]) == 4 else loop)(P, faces)
    sys.stdout.write(write_obj(P, faces))


if __name__ == "__main__":
    main()

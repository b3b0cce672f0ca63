#!/usr/bin/env python3
"""Checks the reference model's texture coordinate modes: values kept and
creased at seams worked out by hand on the small samples, a seam curve with
sharp features over four levels, the modes that must refine texture
coordinates exactly as positions (u, v, 0), and seam sides that stay their
own midpoints."""
import itertools
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import subdivide_reference as reference  # noqa: E402

MODES = reference.UV_MODES  # linear boundaries corners-concave corners-junctions corners smooth


def mesh_text(name):
    with open(os.path.join(HERE, "..", "..", "meshes", name)) as source:
        return source.read()


def values_at(text, vertex, mode, iterations=1, **options):
    """The distinct texture coordinates at a vertex, rounded to 6 decimals."""
    _, faces, tex, _ = reference.subdivide_text(text, iterations, uv=mode, **options)
    return sorted({tuple(round(c, 6) for c in uv) for face, row in zip(faces, tex.values)
                   for v, uv in zip(face, row) if v == vertex})


# (mesh, vertex, options, named values, the names each mode gives after one
# step in the order of MODES). A crease value is (uv * 3/4) + (a + b) / 8, a
# and b the span's coordinates at the far ends of its bounding edges.
HAND_WORKED = [
    # Cube corner (1, 1, 1): the lid's one face, (7/8, 3/8) with lid
    # neighbours (5/8, 3/8) and (7/8, 1/8); the box's two faces, (0, 1/2)
    # with rim neighbours (0, 0) and (1/2, 1/2).
    ("uv-cube-seam.obj", 7, {}, {"lid": (0.875, 0.375), "lid~": (0.84375, 0.34375),
                                 "box": (0, 0.5), "box~": (0.0625, 0.4375)},
     "lid box|lid box|lid box|lid box~|lid box~|lid~ box~"),
    # Grid seam end (3, 0) on the boundary, a triangle each side: (0.6, 0)
    # with (0.5, 0) and (0.6, 0.375); (0.65, 0) with (0.95, 0) and (0.65, 0.375).
    ("grid-textured.obj", 3, {}, {"L": (0.6, 0), "L~": (0.5875, 0.046875), "R": (0.65, 0), "R~": (0.6875, 0.046875)},
     "L R|L R|L R|L R|L R|L~ R~"),
    # Boundary vertex (1, 0) of the grid: matched in the corner modes, where
    # the boundary rule on (0, 0) and (0.5, 0) moves it.
    ("grid-textured.obj", 1, {}, {"P": (0.2, 0), "P~": (0.2125, 0)}, "P|P|P~|P~|P~|P~"),
    # Grid corner (0, 3) on one triangle, neighbours (0.2, 0.75) and (0, 0.5):
    # a corner, or with smooth corners kept by the corner modes.
    ("grid-textured.obj", 15, {}, {"P": (0, 0.75)}, "P|P|P|P|P|P"),
    ("grid-textured.obj", 15, {"corners": "smooth"}, {"P": (0, 0.75), "P~": (0.025, 0.71875)}, "P|P|P|P|P|P~"),
    # Concave corner: the island (3/4, 3/4) on one face with (1, 3/4) and (3/4, 1);
    # the other three faces (1/4, 1/4) with (1/4, 1/2) and (1/2, 1/4).
    ("uv-concave.obj", 4, {}, {"X": (0.75, 0.75), "X~": (0.78125, 0.78125), "Y": (0.25, 0.25),
                               "Y~": (0.28125, 0.28125)}, "X Y|X Y|X Y|X Y~|X Y~|X~ Y~"),
    # Dart (1/4, 1/4): its ends are both sides of the slit, (1/2, 1/4) and
    # (9/16, 1/4). The slit's boundary end has a face each side.
    ("uv-dart.obj", 4, {}, {"D": (0.25, 0.25), "D~": (0.3203125, 0.25)}, "D|D|D|D~|D~|D~"),
    ("uv-dart.obj", 5, {}, {"a": (0.5, 0.25), "a~": (0.46875, 0.21875), "b": (0.5625, 0.25), "b~": (0.515625, 0.28125)},
     "a b|a b|a b|a b|a b|a~ b~"),
    # Three islands of two triangles: (1/2, 1/2) with (3/4, 1/2) and (3/8, 3/4),
    # the others shifted by (1, 0) and (0, 1) with their own ends.
    ("uv-junction.obj", 0, {}, {"A": (0.5, 0.5), "A~": (0.515625, 0.53125), "B": (1.5, 0.5), "B~": (1.46875, 0.5),
                                "C": (0.5, 1.5), "C~": (0.515625, 1.46875)},
     "A B C|A B C|A B C|A B C|A~ B~ C~|A~ B~ C~"),
    # A B A B from face 7: A comes back (kept); the two runs of B are values of
    # their own, (5/4, 1/2) with (3/2, 3/4) and (1, 3/4), or (1, 1/4) and (3/2, 1/4).
    ("uv-ring-abab.obj", 0, {}, {"A": (0.5, 0.5), "B": (1.25, 0.5), "B1": (1.25, 0.5625), "B2": (1.25, 0.4375)},
     "A B|A B|A B|A B|A B1 B2|A B1 B2"),
]


class KeptAndCreasedValues(unittest.TestCase):
    def test_values_worked_out_by_hand(self):
        for name, vertex, options, named, by_mode in HAND_WORKED:
            text = mesh_text(name)
            for mode, names in zip(MODES, by_mode.split("|")):
                expected = sorted(tuple(round(c, 6) for c in named[n]) for n in names.split())
                with self.subTest(mesh=name, vertex=vertex, mode=mode, **options):
                    self.assertEqual(values_at(text, vertex, mode, **options), expected)

    def test_seam_with_crease_and_corner_tags(self):
        # uv-seam-creased's seam from its bottom end: ends at 10 (kept); at 7
        # an inner edge of the left island at 2.5 (kept 2 steps, blended by 0.5,
        # then creased); at 12 one of the right island at 10; at 17 a vertex
        # at 1.5 (kept, blended, creased). With two values the corner modes that
        # keep junctions keep the other side with a sharp one, and as long as
        # a semi-sharp one. New points on the seam take the crease rule.
        K, C = "K", "C"
        creased = [[K, (K, K, 0.5, C), C, (K, 0.5, C), K], [K, C, K, (K, 0.5, C), K]]
        kept = [[K, (K, K, 0.5, C), K, (K, 0.5, C), K]] * 2
        schedules = {"corners-concave": kept, "corners-junctions": kept, "corners": creased, "smooth": creased}
        text = mesh_text("uv-seam-creased.obj")
        start = seam_sides(text, "linear", 0)
        for mode, iterations in itertools.product(MODES, (1, 2, 3, 4)):
            actual = seam_sides(text, mode, iterations)
            for side in (0, 1):
                rules, new_rule = (schedules[mode][side], C) if mode in schedules else ([K] * 5, K)
                expected = seam_curve(start[side], rules, new_rule, iterations)
                with self.subTest(mode=mode, iterations=iterations, side=side):
                    self.assertEqual(len(actual[side]), len(expected))
                    for a, e in zip(actual[side], expected):
                        self.assertAlmostEqual(a[0], e[0], delta=1e-6)
                        self.assertAlmostEqual(a[1], e[1], delta=1e-6)


class SeamsAndProperties(unittest.TestCase):
    def test_modes_that_refine_as_positions(self):
        # No seams: smooth always, the corner modes with sharp corners and
        # boundaries on a closed mesh give the points of positions (u, v, 0),
        # tags included, for a coordinate of its own at each vertex.
        for name, closed in (("cube-quad.obj", True), ("icosahedron-creased.obj", True), ("polygon-creased.obj", True),
                             ("grid-quad.obj", False), ("grid-tri-creased.obj", False), ("polygon-open.obj", False)):
            text = mesh_text(name)
            positions, faces, _ = reference.parse_obj(text)
            uvs = [(reference.f32(x * 0.3 + y * 0.7 + z * 0.1), reference.f32(0.5 * x + y * 0.2 - z * 0.9))
                   for x, y, z in positions]
            tags = "".join(line + "\n" for line in text.splitlines() if line.startswith("t "))
            flat = "".join(f"v {u!r} {v!r} 0\n" for u, v in uvs) + tags
            flat += "".join("f " + " ".join(str(v + 1) for v in face) + "\n" for face in faces)
            textured = text + "".join(f"vt {u!r} {v!r}\n" for u, v in uvs)
            textured += "".join("f " + " ".join(f"{v + 1}/{v + 1}" for v in face) + "\n" for face in faces)
            textured = "\n".join(line for line in textured.splitlines() if not line.startswith("f ") or "/" in line)
            modes = [("smooth", "smooth")] + [(m, "sharp") for m in MODES[2:]] + [("boundaries", "sharp")] * closed
            for (mode, corners), rule in itertools.product(modes, reference.VERTEX_RULES):
                points, flat_faces, _, _ = reference.subdivide_text(flat, 2, corners=corners, vertex_rule=rule)
                _, _, tex, _ = reference.subdivide_text(textured, 2, corners=corners, uv=mode, vertex_rule=rule)
                with self.subTest(mesh=name, mode=mode, corners=corners, rule=rule):
                    self.assertEqual(tex.values, [[points[v][:2] for v in face] for face in flat_faces])

    def test_seam_sides_are_their_own_midpoints(self):
        # Each side of a seam edge takes the midpoint of its own two corners,
        # and both halves stay seams.
        for name, mode, level in itertools.product(("uv-cube-seam.obj", "uv-junction.obj", "uv-ring-abab.obj",
                                                    "uv-dart.obj", "grid-textured.obj"), MODES, (0, 1, 2)):
            text = mesh_text(name)
            (points, faces, tex, _), (child_points, child_faces, child, _) = (
                reference.subdivide_text(text, n, uv=mode) for n in (level, level + 1))
            seams = seam_edges(points, faces, tex)
            with self.subTest(mesh=name, mode=mode, level=level):
                self.assertEqual(len(seam_edges(child_points, child_faces, child)), 2 * len(seams))
                first = list(itertools.accumulate([0] + [len(face) for face in faces]))
                loop = all(len(face) == 3 for face in faces)
                for f, k in seams:
                    n = len(faces[f])
                    side = child.values[4 * f + 3][(k + 2) % 3] if loop else child.values[first[f] + k][1]
                    self.assertEqual(side, reference.midpoint(tex.values[f][k], tex.values[f][(k + 1) % n]))


def seam_edges(points, faces, tex):
    """(face, side) of both sides of every seam edge."""
    conn = reference.Connectivity(faces, len(points))
    return [side for e in range(conn.n_edges) if reference.is_seam(tex, faces, conn, e) for side in conn.sides[e]]


def seam_sides(text, mode, iterations):
    """The coordinates of the vertices with two, the lower u (the left island)
    and the higher, each side sorted by v."""
    _, faces, tex, _ = reference.subdivide_text(text, iterations, uv=mode)
    at = {}
    for face, ids, row in zip(faces, tex.ids, tex.values):
        for v, t, uv in zip(face, ids, row):
            at.setdefault(v, {})[t] = tuple(uv)
    pairs = [sorted(uvs.values()) for uvs in at.values() if len(uvs) == 2]
    return [sorted((pair[k] for pair in pairs), key=lambda uv: uv[1]) for k in (0, 1)]


def seam_curve(points, rules, new_rule, steps):
    """A seam polyline refined in double: each point of the input by its rule
    per step (K kept, C crease, a number w: kept * w + crease * (1 - w); the
    last of a tuple for the steps after it), every later point by new_rule;
    new points the midpoints."""
    origin = list(range(len(points)))
    rules = [rule if isinstance(rule, tuple) else (rule,) for rule in rules]
    for step in range(steps):
        moved = []
        for i, (p, o) in enumerate(zip(points, origin)):
            rule = new_rule if o is None else rules[o][min(step, len(rules[o]) - 1)]
            if rule == "K":
                moved.append(p)
                continue
            crease = [0.75 * c + 0.125 * (a + b) for c, a, b in zip(p, points[i - 1], points[i + 1])]
            w = 0.0 if rule == "C" else rule
            moved.append(tuple(w * c + (1 - w) * q for c, q in zip(p, crease)))
        halves = [tuple(0.5 * (a + b) for a, b in zip(p, q)) for p, q in zip(points, points[1:])]
        points = [x for pair in zip(moved, halves) for x in pair] + moved[-1:]
        origin = [x for pair in zip(origin, [None] * len(halves)) for x in pair] + origin[-1:]
    return points


if __name__ == "__main__":
    unittest.main()

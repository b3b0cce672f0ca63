#!/usr/bin/env python3
"""Checks the reference model's sharpness and vertex rules against values
worked out by hand, on the sample meshes with tags added."""
import math
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import subdivide_reference as reference  # noqa: E402


def mesh_text(name, *tags):
    with open(os.path.join(HERE, "..", "..", "meshes", name)) as source:
        return source.read() + "".join(f"t {tag}\n" for tag in tags)


def face_rings(name, s):
    """Crease tags running round every face of the mesh: each edge at s."""
    _, faces, _ = reference.parse_obj(mesh_text(name))
    return [f"crease {len(f) + 1}/1/0 {' '.join(map(str, f + f[:1]))} {s}" for f in faces]


def refined(text, iterations, **options):
    """The positions and the t lines that follow the faces."""
    positions, faces, _, remaining = reference.subdivide_text(text, iterations, **options)
    written = reference.write_obj(positions, faces, "6", remaining)
    return positions, written[written.rindex("\nf ") + 1:].split("\n", 1)[1]


class SharpnessRules(unittest.TestCase):
    def assertPoint(self, point, expected):
        for c, e in zip(point, expected):
            self.assertAlmostEqual(c, e, delta=1e-6)

    def test_cube_corner_values(self):
        # Corner (1, 1, 1) of the cube at +-1. Edge points (0, 3/4, 3/4) and
        # permutations; at s = 0.5 they move halfway to the midpoints
        # (0, 1, 1): (0, 7/8, 7/8). Smooth: 1/3 + (faces 1 + edges 7/4) / 9 =
        # 23/36, blended half and half with the corner point 1 (w = 0.5, the
        # three edges dropping to 0): 59/72. Edge-points rule: 1/3 + (1 + 3/2)
        # / 9 = 11/18; classic: 1/3 + (faces 1 + neighbours 1) / 9 = 5/9, and
        # blended at s = 0.5, (1 + 5/9) / 2 = 7/9. With its edges to 3 and 5
        # at 0.5 and to 6 at 2 (midpoint (1, 1, 0)) only the first two drop,
        # w = 0.5: smooth x = 1/3 + (1 + 7/8 + 1) / 9 = 47/72, z = 23/36.
        cases = [(face_rings("cube-quad.obj", 0.5), "edge-points", [59 / 72] * 3),
                 ([], "edge-points", [11 / 18] * 3), ([], "classic", [5 / 9] * 3),
                 (face_rings("cube-quad.obj", 0.5), "classic", [7 / 9] * 3),
                 (["crease 3/1/0 3 7 5 0.5", "crease 2/1/0 7 6 2"], "edge-points", [119 / 144] * 2 + [59 / 72])]
        for tags, rule, value in cases:
            with self.subTest(tags=tags[-1:], rule=rule):
                positions, _ = refined(mesh_text("cube-quad.obj", *tags), 1, vertex_rule=rule)
                self.assertPoint(positions[7], value)
        # At s = 0.3 the edge point from (1, 1, 1) to (-1, 1, 1) is its
        # midpoint (0, 1, 1) * 0.3 + its smooth point (0, 3/4, 3/4) * 0.7.
        positions, _ = refined(mesh_text("cube-quad.obj", *face_rings("cube-quad.obj", 0.3)), 1)
        self.assertPoint(positions[8 + 6 + 8], [0, 0.825, 0.825])

    def test_sharp_cube_stays_on_its_faces(self):
        # At s = 10 forever; at s = 2 through level 2, when the edges reach 0.
        for s, levels_on_faces in ((10, 3), (2, 2)):
            text = mesh_text("cube-quad.obj", *face_rings("cube-quad.obj", s))
            for level in range(1, 4):
                positions, _ = refined(text, level)
                on_faces = all(max(abs(c) for c in p) > 1 - 1e-6 for p in positions)
                self.assertEqual(on_faces, level <= levels_on_faces, f"s = {s}, level {level}")

    def test_vertex_tag_decays_then_blends(self):
        # 1.5 at (1, 1, 1): a corner at level 0 and (0.5) at level 1, where it
        # blends half and half with the smooth point. Level 1 round it: edge
        # points E = (0, 3/4, 3/4) .., face points of its quads (7/16, 7/16,
        # 7/8) .., edge points of level 2 (15/32, 49/64, 49/64) ..: smooth
        # 1/3 + (7/4 + 15/32 + 2 * 49/64) / 9 = 3/4, blended: 7/8.
        text = mesh_text("cube-quad.obj", "corner 1/1/0 7 1.5")
        positions, written = refined(text, 1)
        self.assertPoint(positions[7], [1, 1, 1])
        self.assertEqual(written, "t corner 1/1/0 7 0.500000\n")
        positions, written = refined(text, 2)
        self.assertPoint(positions[7], [0.875] * 3)
        self.assertEqual(written, "")

    def test_crease_lines_in_parent_edge_order(self):
        # Edge 3-7 is the cube's edge 8, first met as 3 -> 7 by face 2 (-1 1
        # -1, -1 1 1, 1 1 1, 1 1 -1); its point is 8 + 6 + 8. At level 1 face
        # 2's quads (3 22 10 20) and (7 15 10 22) first meet its halves as
        # edges 27 and 30 (after face 0's and 1's 24 edges and 24-26, 28-29).
        text = mesh_text("cube-quad.obj", "crease 2/1/0 7 3 2.5", "corner 1/1/0 0 0.5")
        expected = {0: "t crease 2/1/0 3 7 2.500000\nt corner 1/1/0 0 0.500000\n",
                    1: "t crease 2/1/0 3 22 1.500000\nt crease 2/1/0 7 22 1.500000\n",
                    2: "t crease 2/1/0 3 77 0.500000\nt crease 2/1/0 22 77 0.500000\n"
                       "t crease 2/1/0 22 80 0.500000\nt crease 2/1/0 7 80 0.500000\n"}
        for iterations in range(4):
            self.assertEqual(refined(text, iterations)[1], expected.get(iterations, ""), f"{iterations} iterations")

    def test_crease_angle_matches_tags(self):
        sharp, _ = refined(mesh_text("cube-quad.obj", *face_rings("cube-quad.obj", 10)), 2)
        for degrees, expected in ((60, sharp), (100, refined(mesh_text("cube-quad.obj"), 2)[0])):
            self.assertEqual(refined(mesh_text("cube-quad.obj"), 2, crease_angle=degrees)[0], expected)

    def test_classic_rule_on_parabola(self):
        # z = x^2 over a 7 x 7 grid at integer x and y: the bicubic B-spline's
        # masks put every interior point at z = x^2 + 1/4.
        n = 7
        vertices = "".join(f"v {x} {y} {x * x}\n" for y in range(n) for x in range(n))
        faces = "".join(f"f {j * n + i + 1} {j * n + i + 2} {j * n + i + n + 2} {j * n + i + n + 1}\n"
                        for j in range(n - 1) for i in range(n - 1))
        for rule, at_zero in (("classic", 0.25), ("edge-points", 0.21875)):
            positions, _ = refined(vertices + faces, 1, vertex_rule=rule)
            interior = [p for p in positions if 0 < p[0] < n - 1 and 0 < p[1] < n - 1]
            self.assertEqual(len(interior), 11 * 11)
            off = [p for p in interior if abs(p[2] - (p[0] * p[0] + 0.25)) > 1e-5]
            vertex_points = [p for p in interior if p[0] % 1 == 0 and p[1] % 1 == 0]
            self.assertEqual(off, [] if rule == "classic" else vertex_points)
            centre = [p for p in positions if p[0] == 3 and p[1] == 3][0]
            self.assertAlmostEqual(centre[2] - 9, at_zero, delta=1e-5)

    def test_loop_crease_loop_follows_the_curve(self):
        # The ring round vertex 0 of the icosahedron refined as a closed cubic
        # B-spline: midpoints and (p * 3/4) + ((prev + next) / 8).
        ring = [11, 5, 1, 7, 10]
        text = mesh_text("icosahedron.obj", f"crease 6/1/0 {' '.join(map(str, ring + ring[:1]))} 10")
        curve = [reference.parse_obj(text)[0][v] for v in ring]
        for iterations in range(1, 4):
            curve = [q for i, p in enumerate(curve) for q in (
                [0.75 * a + 0.125 * (b + c) for a, b, c in zip(p, curve[i - 1], curve[(i + 1) % len(curve)])],
                [0.5 * (a + b) for a, b in zip(p, curve[(i + 1) % len(curve)])])]
            positions, _, _, (creases, _) = reference.subdivide_text(text, iterations)
            on_crease = {v for a, b, _ in creases for v in (a, b)}
            self.assertEqual(len(on_crease), len(curve))
            for v in on_crease:
                self.assertLess(min(math.dist(positions[v], q) for q in curve), 1e-5)

    def test_refusals(self):
        refused = [("crease 2/1/0 0 7 1", "no face joins"), ("crease 2/1/0 0 8 1", "out of range"),
                   ("corner 1/1/0 -1 1", "out of range"), ("crease 2/1/0 0 1 -1", "from 0 up"),
                   ("crease 2/1/0 0 1 nan", "from 0 up"), ("corner 1/1/0 0 1e39", "from 0 up"),
                   ("crease 3/1/0 0 1 1", "do not match"), ("corner 2/2/0 0 1 1", "do not match"),
                   ("crease 1/1/0 0 1", "do not match"), ("interpolateboundary 1/0/0", "do not match"),
                   ("interpolateboundary 1/0/0 -1", "negative"), ("crease 2/1/0 0 1.5 1", "whole number"),
                   ("corner 1/1/0", "do not match"), ("corner", "n/n/n"), ("corner 1/x/0 0 1", "n/n/n")]
        for tag, reason in refused:
            with self.subTest(tag=tag), self.assertRaisesRegex(ValueError, reason):
                reference.subdivide_text(mesh_text("cube-quad.obj", tag), 1)
        for degrees in (0, 180):
            with self.assertRaisesRegex(ValueError, "between 0 and 180"):
                reference.subdivide_text(mesh_text("cube-quad.obj"), 1, crease_angle=degrees)
        for tag in ("interpolateboundary 1/0/0 3", "hole 1/0/0 x"):
            reference.subdivide_text(mesh_text("cube-quad.obj", tag), 1)


if __name__ == "__main__":
    unittest.main()

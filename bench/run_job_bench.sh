#!/usr/bin/env bash
# Times whole runs of the tool (import, iterations, write) on large meshes and
# prints one table row per case and executable: faces in and out, median wall
# time and median peak resident memory over the runs, and the first digits of
# the output's SHA-256, which must be the same in every run, and for every
# executable when a change is meant to keep every output byte. After each run
# `cp` copies the output to another file in the same folder: the copy floor,
# the time the system takes to read the bytes the job wrote and write them
# anew, timed side by side with the jobs; each row gives the median of a
# case's copies and the job's wall time over it.
#
#   bench/run_job_bench.sh [--runs=N] [--scratch=DIR] [--baseline] [--cases=TEXT] [SUBDIV ...]
#
# SUBDIV   release builds of the tool (default build/release/subdiv, else
#          build/test/subdiv), each optionally with options for it in the
#          same argument ("build/release/subdiv --threads=1"); with several,
#          they take turns run by run, so that all see the same state of the
#          shared machine.
# --baseline  also runs, first, the tool as it was before the last level was
#          streamed and threads came (commit 6219a76), built once into the
#          scratch folder from this repository's history
# --runs   runs per case and executable, default 5; the cases take turns
#          run by run as well
# --cases  only the cases whose name holds TEXT (and the OBJ cases they are
#          the twins of)
# --scratch  folder for the generated meshes and the outputs, default
#          ${TMPDIR:-/tmp}/subdiv-job-bench; meshes already there are reused
#
# Cases: closed quad tori of 500 x 500 = 250,000 faces and of 200 x 100 =
# 20,000 faces (Catmull-Clark); an icosahedron split seven times at its edge
# midpoints, 327,680 triangles (Loop); and the open twins of the first and
# the third: a torus of 501 x 501 cut open along both seams (500 x 500 quads)
# and the icosphere with a hole round its top. The first torus is written a
# second time as binary PLY (its output named .ply), a third time with
# --limit --normals, and a fourth with every edge tagged `t crease` at
# sharpness 2.5; the rows of those cases end with their wall time over the
# OBJ case's, executable by executable (an executable without PLY output, or
# without the options, skips them; one without sharp features reads the
# tagged torus as the plain one). The same torus with texture coordinates on
# a grid (seams where it wraps round) runs with --uv and with
# --uv=boundaries, the second's row ending with its time over the first's.
# Needs bash, python3 and
# /usr/bin/time (GNU time).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
scratch=${TMPDIR:-/tmp}/subdiv-job-bench
baseline_commit=6219a76
baseline=0
only=
exes=()
for arg in "$@"; do
  case "$arg" in
    --runs=*) runs=${arg#--runs=} ;;
    --scratch=*) scratch=${arg#--scratch=} ;;
    --baseline) baseline=1 ;;
    --cases=*) only=${arg#--cases=} ;;
    -*) echo "run_job_bench.sh: unknown option '$arg'" >&2; exit 2 ;;
    *) exes+=("$arg") ;;
  esac
done
if [ ${#exes[@]} -eq 0 ]; then
  if [ -x build/release/subdiv ]; then exes=(build/release/subdiv); else exes=(build/test/subdiv); fi
fi
mkdir -p "$scratch"
if [ "$baseline" = 1 ]; then
  # a copy of the baseline's sources, built once and kept with the meshes
  base="$scratch/baseline-$baseline_commit"
  if [ ! -x "$base/build/subdiv" ]; then
    rm -rf "$base" && mkdir -p "$base/src"
    git archive "$baseline_commit" | tar -x -C "$base/src"
    cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DSUBDIV_TESTS=OFF -DSUBDIV_BENCH=OFF >/dev/null
    cmake --build "$base/build" --target subdiv >/dev/null
  fi
  exes=("$base/build/subdiv" "${exes[@]}")
fi
for entry in "${exes[@]}"; do
  exe=${entry%% *}
  if [ ! -x "$exe" ]; then
    echo "run_job_bench.sh: no executable at '$exe' (build one: cmake --workflow --preset release)" >&2
    exit 2
  fi
done

exec python3 - "$runs" "$scratch" "$only" "${exes[@]}" <<'PYTHON'
import hashlib
import math
import os
import statistics
import subprocess
import sys
import time

runs, scratch, only = int(sys.argv[1]), sys.argv[2], sys.argv[3]
# each executable with the options given with it
exes = [tuple([os.path.abspath(entry.split()[0])] + entry.split()[1:]) for entry in sys.argv[4:]]


def exe_name(exe):
    return " ".join([os.path.relpath(exe[0])] + list(exe[1:]))


def write_obj(path, positions, faces, texcoords=None, face_texcoords=None, tags=()):
    lines = [f"v {x:.7g} {y:.7g} {z:.7g}\n" for x, y, z in positions]
    if texcoords is None:
        lines += ["f " + " ".join(str(i + 1) for i in face) + "\n" for face in faces]
    else:
        lines += [f"vt {u:.7g} {v:.7g}\n" for u, v in texcoords]
        lines += ["f " + " ".join(f"{i + 1}/{t + 1}" for i, t in zip(face, corners)) + "\n"
                  for face, corners in zip(faces, face_texcoords)]
    lines += list(tags)
    tmp = path + ".part"
    with open(tmp, "w") as out:
        out.writelines(lines)
    os.replace(tmp, path)


def quad_torus(rows, cols):
    positions, faces = [], []
    for i in range(rows):
        u = 2 * math.pi * i / rows
        for j in range(cols):
            v = 2 * math.pi * j / cols
            r = 2 + 0.7 * math.cos(v)
            positions.append((r * math.cos(u), r * math.sin(u), 0.7 * math.sin(v)))
    for i in range(rows):
        for j in range(cols):
            i1, j1 = (i + 1) % rows, (j + 1) % cols
            faces.append((i * cols + j, i * cols + j1, i1 * cols + j1, i1 * cols + j))
    return positions, faces


def sharp_quad_torus(rows, cols, sharpness):
    # the torus with every edge tagged semi-sharp, once, from its lower end
    positions, faces = quad_torus(rows, cols)
    edges = sorted({(min(a, b), max(a, b)) for face in faces
                    for a, b in zip(face, face[1:] + face[:1])})
    return positions, faces, None, None, [f"t crease 2/1/0 {a} {b} {sharpness}\n"
                                          for a, b in edges]


def textured_quad_torus(rows, cols):
    # the torus with texture coordinates on a (rows + 1) x (cols + 1) grid:
    # seams where it wraps round, both ways
    positions, faces = quad_torus(rows, cols)
    texcoords = [(j / cols, i / rows) for i in range(rows + 1) for j in range(cols + 1)]
    corners = [(i * (cols + 1) + j, i * (cols + 1) + j + 1, (i + 1) * (cols + 1) + j + 1,
                (i + 1) * (cols + 1) + j) for i in range(rows) for j in range(cols)]
    return positions, faces, texcoords, corners


def open_quad_torus(rows, cols):
    # the torus of rows x cols quads cut open along both seams: the same
    # surface and coordinates, and every edge of the cuts on one face
    positions, _ = quad_torus(rows, cols)
    faces = [(i * cols + j, i * cols + j + 1, (i + 1) * cols + j + 1, (i + 1) * cols + j)
             for i in range(rows - 1) for j in range(cols - 1)]
    return positions, faces


def icosphere(levels):
    t = (1 + math.sqrt(5)) / 2
    positions = [(-1, t, 0), (1, t, 0), (-1, -t, 0), (1, -t, 0), (0, -1, t), (0, 1, t),
                 (0, -1, -t), (0, 1, -t), (t, 0, -1), (t, 0, 1), (-t, 0, -1), (-t, 0, 1)]
    positions = [tuple(c / math.sqrt(x * x + y * y + z * z) for c in (x, y, z))
                 for x, y, z in positions]
    faces = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
             (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8),
             (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]
    for _ in range(levels):
        # one midpoint per edge, shared by its two faces through the table, so
        # the result stays closed; children keep their parent's winding
        midpoint = {}

        def middle(a, b):
            key = (a, b) if a < b else (b, a)
            if key not in midpoint:
                p, q = positions[a], positions[b]
                m = [(p[k] + q[k]) / 2 for k in range(3)]
                n = math.sqrt(sum(c * c for c in m))
                midpoint[key] = len(positions)
                positions.append(tuple(c / n for c in m))
            return midpoint[key]

        refined = []
        for a, b, c in faces:
            ab, bc, ca = middle(a, b), middle(b, c), middle(c, a)
            refined += [(a, ab, ca), (b, bc, ab), (c, ca, bc), (ab, bc, ca)]
        faces = refined
    return positions, faces


def open_icosphere(levels):
    # the icosphere with a hole round its top: the faces whose corners all
    # lie above z = 0.9 left out
    positions, faces = icosphere(levels)
    return positions, [f for f in faces if not all(positions[v][2] > 0.9 for v in f)]


# (name, file, generator, iterations, output extension, options of the case)
cases = [
    ("quad torus 250k", "torus-quad-500x500.obj", lambda: quad_torus(500, 500), 2, ".obj", []),
    ("quad torus 250k, to PLY", "torus-quad-500x500.obj", lambda: quad_torus(500, 500), 2, ".ply",
     []),
    ("quad torus 250k, --limit --normals", "torus-quad-500x500.obj", lambda: quad_torus(500, 500),
     2, ".obj", ["--limit", "--normals"]),
    ("quad torus 250k, every edge sharp 2.5", "torus-quad-500x500-sharp-2.5.obj",
     lambda: sharp_quad_torus(500, 500, 2.5), 2, ".obj", []),
    ("textured quad torus 250k, --uv", "torus-quad-500x500-uv.obj",
     lambda: textured_quad_torus(500, 500), 2, ".obj", ["--uv"]),
    ("textured quad torus 250k, --uv=boundaries", "torus-quad-500x500-uv.obj",
     lambda: textured_quad_torus(500, 500), 2, ".obj", ["--uv=boundaries"]),
    ("quad torus 20k", "torus-quad-200x100.obj", lambda: quad_torus(200, 100), 4, ".obj", []),
    ("icosphere 328k", "icosphere-7.obj", lambda: icosphere(7), 2, ".obj", []),
    ("quad torus 250k, cut open", "torus-quad-501x501-open.obj", lambda: open_quad_torus(501, 501), 2, ".obj", []),
    ("icosphere 328k with a hole", "icosphere-7-open.obj", lambda: open_icosphere(7), 2, ".obj", []),
]
# the OBJ case that a case of PLY output or of other options is the twin of
twin = {"quad torus 250k, to PLY": "quad torus 250k",
        "quad torus 250k, --limit --normals": "quad torus 250k",
        "quad torus 250k, every edge sharp 2.5": "quad torus 250k",
        "textured quad torus 250k, --uv=boundaries": "textured quad torus 250k, --uv"}
chosen = {c[0] for c in cases if only in c[0]}
cases = [c for c in cases if c[0] in chosen or c[0] in {twin.get(n) for n in chosen}]
# the options each executable knows (older builds know neither --format nor --limit)
usage = {exe: subprocess.run([exe[0], "--help"], capture_output=True, text=True).stdout
         for exe in exes}
def runs_case(exe, extension, options):
    # an option with a value: its name and the value's word in the help
    return all(all(word in usage[exe] for word in option.split("="))
               for option in options + ["--format"] * (extension == ".ply"))
faces_in = {}
for name, file, make, iterations, _, _ in cases:
    path = os.path.join(scratch, file)
    if not os.path.exists(path):
        print(f"generating {path}", file=sys.stderr)
        write_obj(path, *make())
    with open(path) as source:
        faces_in[name] = sum(1 for line in source if line.startswith("f "))


def run_once(exe, path, iterations, out, options):
    # /usr/bin/time reports the peak of the tool alone: a child forked from
    # this process would inherit its peak, which exec does not reset
    report = os.path.join(scratch, "time.txt")
    start = time.perf_counter()
    run = subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", report,
                          *exe, *options, path, str(iterations), out],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if run.returncode == 1 and "subdiv: " in run.stderr:
        return None, None  # an executable that refuses the mesh (an older build, an open mesh)
    if run.returncode != 0:
        sys.exit(f"run_job_bench.sh: {exe_name(exe)} {path} {iterations} failed "
                 f"({run.returncode}): {run.stderr}")
    with open(report) as numbers:
        _, peak_kib = numbers.read().split()[-2:]
    return wall, int(peak_kib) / 1024.0


def copy_once(out):
    # cp of the output to a new file beside it, as the job writes a new file
    copy = out + ".copy"
    start = time.perf_counter()
    subprocess.run(["cp", out, copy], check=True)
    wall = time.perf_counter() - start
    os.remove(copy)
    return wall


keys = [(name, exe) for name, *_ in cases for exe in exes]
times = {key: [] for key in keys}
copies = {name: [] for name, *_ in cases}
peaks = {key: [] for key in keys}
digests = {key: set() for key in keys}
faces_out = {}
for run in range(runs):
    for name, file, _, iterations, extension, options in cases:
        for exe in exes:
            if not runs_case(exe, extension, options):
                continue
            out = os.path.join(scratch, "out-" + os.path.splitext(file)[0] + extension)
            wall, peak = run_once(exe, os.path.join(scratch, file), iterations, out, options)
            if wall is None:
                continue
            times[(name, exe)].append(wall)
            peaks[(name, exe)].append(peak)
            copies[name].append(copy_once(out))
            with open(out, "rb") as produced:
                digests[(name, exe)].add(hashlib.sha256(produced.read()).hexdigest()[:12])
            faces_out[name] = faces_in[name] * 4 ** iterations
            os.remove(out)

print(f"{runs} runs per case and executable, medians")
print("| case | executable | iterations | faces in | faces out | wall time (s) | peak memory (MiB) "
      "| wall / first | peak / first | copy (s) | wall / copy | output sha256 | wall / OBJ twin |")
print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|")
for name, _, _, iterations, _, _ in cases:
    for exe in exes:
        key = (name, exe)
        digest = ",".join(sorted(digests[key]))
        if not times[key]:
            known = runs_case(exe, *next((c[4], c[5]) for c in cases if c[0] == name))
            print(f"| {name} | {exe_name(exe)} | {iterations} | {faces_in[name]:,} | "
                  f"{faces_out.get(name, 0):,} | {'refused' if known else 'not known'} "
                  f"| | | | | | | |")
            continue
        wall, peak = statistics.median(times[key]), statistics.median(peaks[key])
        # against the first executable of the list that ran the case
        first = next((k for k in ((name, e) for e in exes) if times[k]), key)
        wall_ratio = wall / statistics.median(times[first])
        peak_ratio = peak / statistics.median(peaks[first])
        copy = statistics.median(copies[name])
        twin_key = (twin.get(name), exe)
        twin_ratio = (f"{wall / statistics.median(times[twin_key]):.2f}"
                      if twin_key in times and times[twin_key] else "")
        print(f"| {name} | {exe_name(exe)} | {iterations} | {faces_in[name]:,} | "
              f"{faces_out[name]:,} | {wall:.3f} | {peak:.0f} | {wall_ratio:.2f} | "
              f"{peak_ratio:.2f} | {copy:.3f} | {wall / copy:.2f} | {digest} | {twin_ratio} |")
if any(len(d) > 1 for d in digests.values()):
    sys.exit("run_job_bench.sh: the runs of one case wrote different outputs")
PYTHON

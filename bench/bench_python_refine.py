#!/usr/bin/env python3
"""subdiv.refine against the library call it makes, on the same arrays: a
quad torus of 500 x 500 faces refined twice, medians of 5 runs each.

    /usr/bin/python3 bench/bench_python_refine.py [BUILD]

BUILD is a build tree of the test preset (default build/test) with the
package in python/subdiv and bench/bench_refine_arrays. Prints both medians and
their ratio."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/test")
sys.path.insert(0, os.path.join(build, "python"))
import subdiv  # noqa: E402

n = 500
i, j = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
u, v = 2 * np.pi * i / n, 2 * np.pi * j / n
r = 2 + 0.7 * np.cos(v)
vertices = np.stack([r * np.cos(u), r * np.sin(u), 0.7 * np.sin(v)], axis=-1)
vertices = vertices.reshape(-1, 3).astype(np.float32)
faces = np.stack([i * n + j, i * n + (j + 1) % n, (i + 1) % n * n + (j + 1) % n,
                  (i + 1) % n * n + j], axis=-1).reshape(-1, 4).astype(np.int64)

runs = 5
subdiv.refine(vertices, faces, 2)  # the pages of the first run
python_times = []
for _ in range(runs):
    start = time.perf_counter()
    subdiv.refine(vertices, faces, 2)
    python_times.append(time.perf_counter() - start)

with tempfile.NamedTemporaryFile(suffix=".bin") as mesh:
    mesh.write(np.array([len(vertices), len(faces), 4], dtype=np.uint64).tobytes())
    mesh.write(vertices.tobytes())
    mesh.write(faces.tobytes())
    mesh.flush()
    report = subprocess.run(
        [os.path.join(build, "bench", "bench_refine_arrays"), f"--benchmark_repetitions={runs}",
         "--benchmark_format=json"],
        env=dict(os.environ, SUBDIV_BENCH_MESH=mesh.name), check=True, capture_output=True,
        text=True).stdout
runs_cpp = [b["real_time"] / 1000.0 for b in json.loads(report)["benchmarks"]
            if b.get("run_type") == "iteration"]

python_median = statistics.median(python_times)
cpp_median = statistics.median(runs_cpp)
print(f"quad torus 500 x 500, 2 iterations, medians of {runs}:")
print(f"  subdiv.refine (Python)        {python_median * 1000:8.1f} ms")
print(f"  subdiv_refine_arrays (C++)    {cpp_median * 1000:8.1f} ms")
print(f"  ratio                         {python_median / cpp_median:8.3f}")

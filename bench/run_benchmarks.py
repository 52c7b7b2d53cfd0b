#!/usr/bin/env python3
"""Times whole conversions of real models and compares them with the floor.

For each model: several runs of the Release plinthex, each in a fresh working
folder; the median and spread of the wall time, the peak memory (RSS, as the
program reports its high-water mark), the
triangles and bytes written, and the median time of every stage as the program
reports it (PLINTHEX_TIMINGS). The floor is the time to read every input file
the conversion opened and to write a file as large as the scene, measured in
the same run. Needs the shared library and models beside the repository
(../shared); skips with a message when they are absent.

The shared set models (models/sets/*.mpd) and the multi-part carriage house
are timed too, and every model once more with --jobs=1 against the default.
A few small models are timed once more against a library folder of full
size (the shared files and empty ones beside them, in a scratch folder),
listed afresh every run and with its listings kept from the run before,
and converted again onto their own output. The carriage house and the Falcon
are converted with a preview picture too.
On a busy machine the CPU time (user plus system) is the steadier figure.

Usage: bench/run_benchmarks.py [--runs N] [--build-dir DIR] [--no-build]
                               [--no-sets] [--no-jobs] [--no-full-library]
"""

import argparse
import atexit
import os
import glob
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHARED = os.path.normpath(os.path.join(ROOT, "..", "shared"))
LIBRARY = os.path.join(SHARED, "ldraw")
MODELS = os.path.join(SHARED, "models")
GENERATED = os.path.join(ROOT, "bench", "generated")

# model: (wall seconds, peak MB); None where only the time is targeted.
TARGETS = {
    "ldr_carriage_house_new.ldr": (0.15, 150),
    "ldr_carriage_house_new.mpd": (0.5, 330),
    "stress_big_parts.ldr": (1.0, 200),
    "car.ldr": (0.03, None),
    "10143-1 - Death Star II.mpd": (2.0, 1000),
    "10179-1 - Millennium Falcon - UCS.mpd": (2.5, 1500),
}
FLOOR_LIMIT = 3.0  # conversion / I/O floor on every model
QUADRUPLE = "carriage_house_x4.ldr"
HUNDREDFOLD = "carriage_house_x100.ldr"
QUADRUPLE_LIMIT = 4.5  # times the carriage house


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DBUILD_TESTING=OFF", "-DPLINTHEX_BENCHMARKS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 2),
                    "--target", "plinthex"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "app", "plinthex")


def make_copies(name, title, copies, row):
    """The carriage house's type-1 lines `copies` times, `row` copies a row,
    each copy shifted."""
    os.makedirs(GENERATED, exist_ok=True)
    source = os.path.join(MODELS, "ldr_carriage_house_new.ldr")
    target = os.path.join(GENERATED, name)
    with open(source, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().splitlines()
    out = ["0 " + title]
    for copy in range(copies):
        shift_x, shift_z = 2000.0 * (copy % row), 2000.0 * (copy // row)
        for line in lines:
            tokens = line.split()
            if len(tokens) >= 15 and tokens[0] == "1":
                tokens[2] = repr(float(tokens[2]) + shift_x)
                if shift_z:
                    tokens[4] = repr(float(tokens[4]) + shift_z)
                out.append(" ".join(tokens))
    with open(target, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write("\n".join(out) + "\n")
    return target


def make_quadruple():
    return make_copies(QUADRUPLE, "The carriage house four times, each copy shifted", 4, 4)


def make_hundredfold():
    """A layout of many placements: 169,500 parts placed at the top."""
    return make_copies(HUNDREDFOLD, "The carriage house a hundred times, on a grid of ten by ten",
                       100, 10)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


# Files per folder of a library of the complete library's order of size; the
# shared subset holds a few hundred.
FULL_SIZE_FOLDERS = {"parts": 20000, "parts/s": 8000, "p": 3000, "p/48": 2000, "p/8": 700}
FULL_SIZE_MODELS = ("car.ldr", "ldr_carriage_house_new.ldr")


def make_full_size_library(folder):
    """The shared library's files, copied, and empty files beside them up to
    FULL_SIZE_FOLDERS: what listing the library costs at full size."""
    for sub, count in FULL_SIZE_FOLDERS.items():
        source = os.path.join(LIBRARY, sub)
        target = os.path.join(folder, sub)
        os.makedirs(target, exist_ok=True)
        names = [n for n in os.listdir(source) if os.path.isfile(os.path.join(source, n))]
        for n in names:
            shutil.copyfile(os.path.join(source, n), os.path.join(target, n))
        for i in range(count - len(names)):
            open(os.path.join(target, f"filler{i:05d}.dat"), "w").close()
    for n in os.listdir(LIBRARY):
        if os.path.isfile(os.path.join(LIBRARY, n)):
            shutil.copyfile(os.path.join(LIBRARY, n), os.path.join(folder, n))


def full_size_figures(binary, runs, folder, made):
    """The small models against the shared subset and against `folder`, a
    library of full size made at `made`: listed afresh every run (--no-cache),
    and with its folders' listings kept from the run before."""
    # Listings are kept only of folders unchanged for 10 s.
    time.sleep(max(0.0, made + 11 - time.time()))
    cache = tempfile.mkdtemp(prefix="plinthex-bench-cache-")
    try:
        files = sum(FULL_SIZE_FOLDERS.values())
        kept = {"XDG_CACHE_HOME": cache}
        for name in FULL_SIZE_MODELS:
            model = os.path.join(MODELS, name)
            walls = {}
            reads = {}
            for label, library, options, env in (("subset", LIBRARY, (), None),
                                                  ("afresh", folder, ("--no-cache",), None),
                                                  ("kept", folder, (), kept)):
                run_once(binary, model, library=library, options=options, env=env)  # warm up
                timed = [run_once(binary, model, library=library, options=options, env=env)
                         for _ in range(runs)]
                walls[label] = statistics.median(t[0] for t in timed)
                reads[label] = statistics.median(t[1].get("read", 0.0) for t in timed)
            print(f"{name} with a library of {files} files")
            print(f"  wall      median {walls['kept']:.3f} s with its listings kept, "
                  f"{walls['afresh']:.3f} s listed afresh (the shared subset "
                  f"{walls['subset']:.3f} s)")
            print(f"  read      {reads['kept']:.1f} ms kept, {reads['afresh']:.1f} ms afresh "
                  f"(subset {reads['subset']:.1f} ms)")
    finally:
        shutil.rmtree(cache, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)


def run_once(binary, model, jobs=None, library=LIBRARY, options=(), env=None):
    """Wall seconds, stages, inputs, triangles, bytes written, CPU seconds."""
    work = tempfile.mkdtemp(prefix="plinthex-bench-")
    try:
        env = dict(os.environ, PLINTHEX_TIMINGS="1", **(env or {}))
        # Set models as users have them name a few files the library lacks.
        command = ([binary, "--skip-missing"] + ([f"--jobs={jobs}"] if jobs else []) +
                   list(options) + [library, model])
        cpu_before = children_cpu()
        start = time.perf_counter()
        process = subprocess.Popen(command, cwd=work, env=env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = process.communicate()
        _, status, usage = os.wait4(process.pid, 0) if process.returncode is None else (0, 0, None)
        wall = time.perf_counter() - start
        cpu = children_cpu() - cpu_before
        if process.returncode != 0:
            raise RuntimeError(f"{model}: exit status {process.returncode}\n{err.decode()}")
        stages = {}
        inputs = []
        for line in err.decode(errors="replace").splitlines():
            match = re.match(r"time (.+): ([0-9.]+) ms", line)
            if match:
                stages[match.group(1)] = float(match.group(2))
            elif line.startswith("input "):
                inputs.append(line[6:])
        polygons = int(re.search(rb"Polygons : (\d+)", out).group(1))
        scene = [name for name in os.listdir(work)]
        size = os.path.getsize(os.path.join(work, scene[0])) if scene else 0
        return wall, stages, inputs, polygons, size, cpu
    finally:
        shutil.rmtree(work, ignore_errors=True)


REPLACING_MODELS = ("car.ldr", "ldr_carriage_house_new.ldr")


def replacing_figures(binary, runs):
    """The small models converted again onto their own output, as a command
    timed over and over does: right after the run before (its output still
    in the file cache), and once that output is on disk (after a sync)."""
    for name in REPLACING_MODELS:
        model = os.path.join(MODELS, name)
        work = tempfile.mkdtemp(prefix="plinthex-bench-replacing-")
        try:
            command = [binary, "--skip-missing", LIBRARY, model, "scene.txt"]
            walls = {"again": [], "on disk": []}
            subprocess.run(command, cwd=work, capture_output=True, check=True)
            for _ in range(runs):
                for label in walls:
                    if label == "on disk":
                        subprocess.run(["sync"], check=True)
                    start = time.perf_counter()
                    subprocess.run(command, cwd=work, capture_output=True, check=True)
                    walls[label].append(time.perf_counter() - start)
            print(f"{name} onto its own output")
            print(f"  wall      median {statistics.median(walls['again']):.3f} s right after "
                  f"the run before, {statistics.median(walls['on disk']):.3f} s once it is "
                  f"on disk")
        finally:
            shutil.rmtree(work, ignore_errors=True)


def peak_rss_mb(binary, model):
    """Peak resident memory of one run: the program's own high-water mark, as
    it reports it after each stage. The kernel's account for a child of this
    script starts from the script's own size, which passes a small model's."""
    work = tempfile.mkdtemp(prefix="plinthex-bench-")
    try:
        process = subprocess.run([binary, "--skip-missing", LIBRARY, model], cwd=work,
                                 env=dict(os.environ, PLINTHEX_TIMINGS="1"),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
        peaks = re.findall(rb"peak ([0-9.]+) MB\)", process.stderr)
        return max(float(peak) for peak in peaks)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def floor_seconds(inputs, size):
    """Reading every input file and writing `size` bytes to a new file."""
    start = time.perf_counter()
    for path in inputs:
        with open(path, "rb") as f:
            f.read()
    work = tempfile.mkdtemp(prefix="plinthex-floor-")
    try:
        block = b"x" * (1 << 20)
        with open(os.path.join(work, "scene.txt"), "wb") as f:
            left = size
            while left > 0:
                f.write(block[:min(left, len(block))])
                left -= len(block)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return time.perf_counter() - start


def describe(values):
    median = statistics.median(values)
    return median, min(values), max(values)


GLB_TARGETS = {"ldr_carriage_house_new.ldr": 0.25, "10143-1 - Death Star II.mpd": 2.0}
GLB_SIZE_RATIO = 5.0  # scene file bytes / glb bytes, at least


def glb_figures(binary, runs, failures):
    """Wall seconds of --format=glb and the size against the scene file."""
    for name, target in GLB_TARGETS.items():
        model = os.path.join(MODELS, name) if "/" not in name else name
        if not os.path.exists(model):
            model = os.path.join(MODELS, "sets", name)
        work = tempfile.mkdtemp(prefix="plinthex-bench-glb-")
        try:
            walls = []
            for _ in range(runs + 1):
                start = time.perf_counter()
                done = subprocess.run([binary, "--skip-missing", LIBRARY, model, "m.glb"],
                                      cwd=work, capture_output=True)
                walls.append(time.perf_counter() - start)
                if done.returncode != 0:
                    break
            if done.returncode != 0:
                print(f"{name} to glb\n  not converted: {done.stderr.decode().strip()}")
                failures.append(f"{name} to glb: not converted")
                continue
            median = statistics.median(walls[1:])
            glb = os.path.getsize(os.path.join(work, "m.glb"))
            scene = subprocess.run([binary, "--skip-missing", LIBRARY, model, "m.txt"],
                                   cwd=work, capture_output=True)
            text = os.path.getsize(os.path.join(work, "m.txt")) if scene.returncode == 0 else 0
            print(f"{name} to glb\n  wall      median {median:.3f} s (target {target} s), "
                  f"{glb} bytes" + (f"; scene file {text} bytes, {text / glb:.1f} times larger"
                                    if text else "; no scene file to compare with"))
            if median > target:
                failures.append(f"{name} to glb: {median:.3f} s over the {target} s target")
            if text and text / glb < GLB_SIZE_RATIO:
                failures.append(f"{name}: glb only {text / glb:.1f} times smaller")
        finally:
            shutil.rmtree(work, ignore_errors=True)


PREVIEW_MODELS = ("ldr_carriage_house_new.ldr", "10179-1 - Millennium Falcon - UCS.mpd")


def preview_figures(binary, runs):
    """Wall seconds of a conversion with --preview, and of the picture's own stage."""
    for name in PREVIEW_MODELS:
        model = os.path.join(MODELS, name)
        if not os.path.exists(model):
            model = os.path.join(MODELS, "sets", name)
        work = tempfile.mkdtemp(prefix="plinthex-bench-preview-")
        try:
            walls, stages = [], []
            for _ in range(runs + 1):
                start = time.perf_counter()
                done = subprocess.run([binary, "--skip-missing", "--preview=m.png", LIBRARY, model,
                                       "m.txt"], cwd=work, capture_output=True,
                                      env=dict(os.environ, PLINTHEX_TIMINGS="1"))
                walls.append(time.perf_counter() - start)
                found = re.search(rb"time preview: ([0-9.]+) ms", done.stdout + done.stderr)
                if done.returncode != 0 or not found:
                    break
                stages.append(float(found.group(1)) / 1000)
            if done.returncode != 0 or len(stages) != runs + 1:
                print(f"{name} with --preview\n  not converted")
                continue
            print(f"{name} with --preview\n  wall      median {statistics.median(walls[1:]):.3f} s, "
                  f"of which the picture {statistics.median(stages[1:]):.3f} s, "
                  f"{os.path.getsize(os.path.join(work, 'm.png'))} bytes")
        finally:
            shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--no-sets", action="store_true", help="leave out the set models")
    parser.add_argument("--no-jobs", action="store_true", help="leave out the --jobs=1 runs")
    parser.add_argument("--no-full-library", action="store_true",
                        help="leave out the runs with a library of full size")
    parser.add_argument("--rest", type=float, default=0.0, metavar="SECONDS",
                        help="pause before each timed conversion, to time conversions "
                             "started after a pause (memory long free is slower to touch)")
    args = parser.parse_args()

    if not os.path.isdir(LIBRARY) or not os.path.isdir(MODELS):
        print(f"skipped: the shared LDraw library and models are not at {SHARED}")
        return 0
    args.build_dir = os.path.abspath(args.build_dir)
    binary = (os.path.join(args.build_dir, "app", "plinthex") if args.no_build
              else build(args.build_dir))

    models = [os.path.join(MODELS, name) for name in
              ("ldr_carriage_house_new.ldr", "stress_big_parts.ldr", "car.ldr")]
    models.append(make_quadruple())
    models.append(make_hundredfold())
    if not args.no_sets:
        models.append(os.path.join(MODELS, "ldr_carriage_house_new.mpd"))
        models += sorted(glob.glob(os.path.join(MODELS, "sets", "*.mpd")))

    if not args.no_full_library:
        # Made first, so that it has been unchanged for a while when timed.
        full_library = tempfile.mkdtemp(prefix="plinthex-full-library-")
        make_full_size_library(full_library)
        full_library_made = time.time()
        atexit.register(shutil.rmtree, full_library, True)
    results = {}
    failures = []
    for model in models:
        name = os.path.basename(model)
        try:
            run_once(binary, model)  # warm the file cache
        except RuntimeError as error:
            print(f"{name}\n  not converted: {str(error).splitlines()[-1]}")
            failures.append(f"{name}: not converted")
            continue
        walls, cpus, stage_runs, floors = [], [], [], []
        for _ in range(args.runs):
            time.sleep(args.rest)
            wall, stages, inputs, polygons, size, cpu = run_once(binary, model)
            walls.append(wall)
            cpus.append(cpu)
            stage_runs.append(stages)
            floors.append(floor_seconds(inputs, size))
        rss = [peak_rss_mb(binary, model) for _ in range(3)]
        median, low, high = describe(walls)
        floor = statistics.median(floors)
        results[name] = median
        print(f"{name}")
        print(f"  wall      median {median:.3f} s  (min {low:.3f}, max {high:.3f}, "
              f"{args.runs} runs)")
        print(f"  cpu       median {statistics.median(cpus):.3f} s user + system "
              f"(min {min(cpus):.3f}, max {max(cpus):.3f})")
        print(f"  peak RSS  {statistics.median(rss):.1f} MB, "
              f"{statistics.median(rss) * 1048576 / max(polygons, 1):.0f} bytes per triangle")
        if not args.no_jobs:
            wall1, _, _, _, _, cpu1 = run_once(binary, model, jobs=1)
            print(f"  --jobs=1  wall {wall1:.3f} s, cpu {cpu1:.3f} s; default / one job = "
                  f"{median / wall1:.2f} of the wall time")
        print(f"  written   {polygons} triangles, {size} bytes; read {len(inputs)} files")
        print(f"  floor     {floor * 1000:.1f} ms (read the inputs, write as many bytes); "
              f"conversion / floor = {median / floor:.1f}")
        print("  stages    " + ", ".join(
            f"{stage} {statistics.median(run[stage] for run in stage_runs):.1f} ms"
            for stage in stage_runs[0] if statistics.median(run[stage] for run in stage_runs) >= 0.05))
        target = TARGETS.get(name)
        if target:
            seconds, megabytes = target
            if median > seconds:
                failures.append(f"{name}: {median:.3f} s over the {seconds} s target")
            if megabytes and statistics.median(rss) > megabytes:
                failures.append(f"{name}: {statistics.median(rss):.1f} MB over {megabytes} MB")
        if median / floor > FLOOR_LIMIT:
            failures.append(f"{name}: {median / floor:.1f} times the floor")
    ratio = results[QUADRUPLE] / results["ldr_carriage_house_new.ldr"]
    print(f"four carriage houses / one: {ratio:.2f} (target at most {QUADRUPLE_LIMIT})")
    if ratio > QUADRUPLE_LIMIT:
        failures.append(f"the quadrupled model takes {ratio:.2f} times as long")
    glb_figures(binary, args.runs, failures)
    preview_figures(binary, args.runs)
    replacing_figures(binary, args.runs)
    if not args.no_full_library:
        full_size_figures(binary, args.runs, full_library, full_library_made)
    print("targets: " + ("all met" if not failures else "missed: " + "; ".join(failures)))
    return 0


if __name__ == "__main__":
    sys.exit(main())

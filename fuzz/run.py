"""Runs lumo's fuzz targets.

    python fuzz/run.py frames --minutes 10     # the channel's frame decoding
    python fuzz/run.py server --minutes 10     # the server's request path over a real connection
    python fuzz/run.py frames --replay         # run the seeds, the corpus and the regressions once
    python fuzz/run.py server --minutes 10 -- -max_len=8192   # extra libFuzzer flags after --

The targets run under atheris (pip install atheris). With clang on the PATH (clang++ or
clang++-14, Debian packages clang-14 and libclang-rt-14-dev) the extension modules are first
built into build/fuzz with AddressSanitizer, UBSan and libFuzzer's coverage instrumentation,
and run with a libFuzzer+ASan runtime preloaded, so that libFuzzer is guided by the coverage
of the C++ code and memory errors abort with a report (--no-asan: coverage only, faster). The
build never touches src/lumo. Without clang the targets run on the developer build and only
the Python side is instrumented (--plain forces that).

Work files go to fuzz/work/ (not committed): the growing corpus in corpus/<target>/, crash
and hang inputs in artifacts/<target>/, the log in <target>.log. The committed seeds are in
fuzz/seeds/<target>/; inputs that once found a bug are in fuzz/regressions/<target>/ and are
replayed by tests/test_regressions.py.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
WORK = os.path.join(HERE, "work")
BUILD = os.path.join(ROOT, "build", "fuzz")
TARGETS = {"frames": "fuzz_frames.py", "server": "fuzz_server.py"}
MODULES = {"frames": ["ring"], "server": ["ring", "server"]}


def find_clang():
    for name in ("clang++", "clang++-18", "clang++-16", "clang++-15", "clang++-14"):
        path = shutil.which(name)
        if path:
            return path
    return None


def runtime_dir(cxx):
    """clang's runtime library directory (libclang_rt.*), or None."""
    out = subprocess.run([cxx, "-print-runtime-dir"], capture_output=True, text=True).stdout.strip()
    if out and glob.glob(os.path.join(out, "libclang_rt.fuzzer_no_main*.a")):
        return out
    found = glob.glob("/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer_no_main-x86_64.a")
    return os.path.dirname(found[0]) if found else None


def preload_library(cxx, asan):
    """A shared library of libFuzzer (with ASan when asan) for LD_PRELOAD, made once from clang's archives.

    The instrumented modules leave the coverage hooks (and the sanitizer runtime) to be found at
    load time; atheris sees libFuzzer already loaded and drives it.
    """
    name = "asan_with_fuzzer.so" if asan else "fuzzer.so"
    out = os.path.join(WORK, name)
    if os.path.exists(out):
        return out
    rt = runtime_dir(cxx)
    if rt is None:
        raise SystemExit("fuzz: clang's runtime archives (package libclang-rt-14-dev) are missing")
    tmp = os.path.join(WORK, "rt")
    os.makedirs(tmp, exist_ok=True)
    archives = [os.path.join(rt, "libclang_rt.fuzzer_no_main-x86_64.a")]
    if asan:
        # the preinit part may only live in an executable: drop it from a copy of the archive
        asan_a = os.path.join(tmp, "asan.a")
        shutil.copy(os.path.join(rt, "libclang_rt.asan-x86_64.a"), asan_a)
        subprocess.run(["ar", "d", asan_a, "asan_preinit.cpp.o"], check=True)
        archives = [asan_a, os.path.join(rt, "libclang_rt.asan_cxx-x86_64.a")] + archives
    subprocess.run([cxx, "-shared", "-o", out, "-Wl,--whole-archive", *archives, "-Wl,--no-whole-archive",
                    "-lpthread", "-ldl", "-lrt", "-lm"], check=True)
    shutil.rmtree(tmp, ignore_errors=True)
    return out


def build(target, asan):
    """Build the instrumented modules into build/fuzz[-cov] and stage them; return (package dir, preload)."""
    cxx = find_clang()
    if cxx is None:
        print("fuzz: no clang found: running on the developer build, Python coverage only", file=sys.stderr)
        return None, None
    preload = preload_library(cxx, asan)
    flags = "-fsanitize=fuzzer-no-link"
    if asan:
        flags = "-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    bdir = BUILD if asan else BUILD + "-cov"
    if not os.path.exists(os.path.join(bdir, "build.ninja")):
        subprocess.run(
            ["cmake", "-S", ROOT, "-B", bdir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
             "-DLUMO_INPLACE=OFF", f"-DCMAKE_CXX_COMPILER={cxx}", f"-DCMAKE_CXX_FLAGS={flags}",
             f"-DPython_EXECUTABLE={sys.executable}"],
            check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", bdir, "-j2", "--target", *MODULES[target]], check=True,
                   stdout=subprocess.DEVNULL)
    pkg = os.path.join(WORK, "pkg", target)
    dest = os.path.join(pkg, "lumo")
    shutil.rmtree(pkg, ignore_errors=True)
    os.makedirs(dest)
    for f in glob.glob(os.path.join(ROOT, "src", "lumo", "*.py")):
        shutil.copy(f, dest)
    for mod in MODULES[target]:
        for f in glob.glob(os.path.join(bdir, f"{mod}.*.so")):
            shutil.copy(f, dest)
    return pkg, preload


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("target", choices=sorted(TARGETS))
    ap.add_argument("--minutes", type=float, default=10.0, help="fuzzing time (default 10)")
    ap.add_argument("--replay", action="store_true", help="run seeds, corpus and regressions once, no fuzzing")
    ap.add_argument("--plain", action="store_true", help="use the developer build, no C++ coverage")
    ap.add_argument("--no-asan", dest="asan", action="store_false",
                    help="coverage only: no AddressSanitizer/UBSan in the instrumented build (faster)")
    ap.add_argument("--max-len", type=int, default=4096, help="largest input in bytes (default 4096)")
    ap.add_argument("extra", nargs="*", help="extra libFuzzer flags (after --)")
    args = ap.parse_args(argv)

    pkg, preload = (None, None) if args.plain else build(args.target, args.asan)
    env = dict(os.environ)
    if pkg:
        env["PYTHONPATH"] = pkg + os.pathsep + env.get("PYTHONPATH", "")
        env["LD_PRELOAD"] = preload
        # the interpreter keeps its own memory at exit: leaks are the soak's business, not the fuzzer's
        env.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1")
        env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
        if args.asan:
            env.setdefault("PYTHONMALLOC", "malloc")  # every object a separate allocation that ASan sees
    corpus = os.path.join(WORK, "corpus", args.target)
    artifacts = os.path.join(WORK, "artifacts", args.target) + os.sep
    os.makedirs(corpus, exist_ok=True)
    os.makedirs(artifacts, exist_ok=True)
    dirs = [d for d in (corpus, os.path.join(HERE, "seeds", args.target),
                        os.path.join(HERE, "regressions", args.target)) if os.path.isdir(d)]
    cmd = [sys.executable, os.path.join(HERE, TARGETS[args.target])]
    if args.replay:
        files = [f for d in dirs for f in sorted(glob.glob(os.path.join(d, "*")))]
        if not files:
            print("fuzz: nothing to replay")
            return 0
        cmd += ["-runs=0", *files]  # with file arguments, libFuzzer runs each one once
    else:
        cmd += [*dirs, f"-max_total_time={int(args.minutes * 60)}", f"-max_len={args.max_len}",
                f"-artifact_prefix={artifacts}", "-timeout=30", "-rss_limit_mb=4096",
                # one allocation above this is a finding: no frame here may cost that much
                "-malloc_limit_mb=512", "-print_final_stats=1"]
    cmd += args.extra
    log = os.path.join(WORK, f"{args.target}.log")
    print("fuzz:", " ".join(cmd), file=sys.stderr)
    with open(log, "ab") as out:
        proc = subprocess.Popen(cmd, env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        for line in proc.stdout:
            out.write(line)
            sys.stdout.buffer.write(line)
            sys.stdout.flush()
        rc = proc.wait()
    print(f"fuzz: {args.target} exit status {rc}; log in {os.path.relpath(log, ROOT)}", file=sys.stderr)
    return rc


if __name__ == "__main__":
    sys.exit(main())

"""The benchmark harness (bench/): a quick run end to end, its reports and its bookkeeping.

Nothing here asserts anything about speed: the numbers only have to exist and be consistent.
"""
import contextlib
import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from bench import harness, instructions, measure, report, worker  # noqa: E402

SECTIONS = {"meta", "config", "systems", "latency", "bulk", "echo", "calls", "connect", "memory",
            "errors", "targets"}


def _lumo_importable() -> bool:
    try:
        return (importlib.util.find_spec("lumo.server") is not None
                and importlib.util.find_spec("lumo.client") is not None)
    except ImportError:
        return False


def _run_bench(out: Path, only: str, env=None):
    proc = subprocess.run([sys.executable, "-m", "bench", "--quick", "--only", only, "--out",
                           str(out)], cwd=ROOT, capture_output=True, text=True, timeout=240,
                          env=env)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    return json.loads((out / "latest.json").read_text()), (out / "latest.md").read_text()


@pytest.fixture(scope="module")
def quick(tmp_path_factory):
    out = tmp_path_factory.mktemp("bench")
    res, md = _run_bench(out, "c,rawpy,lumo,mpconn")
    return res, md, out


def _measured(res, name):
    info = res["systems"][name]
    if not info["available"]:
        pytest.skip(f"{name} not available: {info['reason']}")
    return info


class TestQuickRun:
    def test_results_have_every_section_and_the_run_description(self, quick):
        res, _, out = quick
        assert SECTIONS <= set(res)
        meta = res["meta"]
        assert meta["quick"] is True
        assert meta["python"] == sys.version.split()[0]
        assert meta["systems_requested"] == ["c", "rawpy", "lumo", "mpconn"]
        for key in ("date", "cpus", "platform", "duration_s"):
            assert meta[key]
        assert res["config"]["clients"] == [1, 4]
        assert set(res["systems"]) == {"c", "rawpy", "lumo", "mpconn"}
        for name, info in res["systems"].items():
            assert info["version"] if info["available"] else info["reason"], name
        claims = [t["claim"] for t in res["targets"]]
        assert len(claims) == 9
        # quick runs have no 16 or 64 clients and no 16 MiB payload: the claims name what ran
        assert "4 client processes, calls/s: lumo / multiprocessing.connection" in claims
        assert "1 MiB numpy echo: lumo / multiprocessing.connection" in claims
        assert (out / "latest.md").exists()
        if importlib.util.find_spec("matplotlib"):
            assert (out / "latest.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    @pytest.mark.parametrize("name", ["rawpy", "mpconn", "lumo"])
    def test_python_system_has_every_measurement_and_only_right_results(self, quick, name):
        res, _, _ = quick
        _measured(res, name)
        assert res["errors"].get(name) is None
        cfg = res["config"]
        for mode in ("unpinned", "pinned"):
            lat = res["latency"][name][mode]
            assert lat["n"] > 0 and lat["errors"] == 0
            assert 0 < lat["p50_us"] <= lat["p99_us"]
        echo = res["echo"][name]
        assert set(echo) == {label for label, _, _ in cfg["echo_sizes"]}
        for label, size, kind in cfg["echo_sizes"]:
            assert echo[label]["size"] == size and echo[label]["kind"] == kind
            assert echo[label]["n"] > 0 and echo[label]["errors"] == 0
            assert echo[label]["mb_s"] > 0
        for mode in ("processes", "threads"):
            runs = res["calls"][name][mode]
            assert set(runs) == {str(k) for k in cfg["clients"]}
            for k, run in runs.items():
                assert run["clients"] == int(k)
                assert run["calls"] >= int(k) and run["errors"] == 0, run
        conn = res["connect"][name]
        assert conn["n"] > 0 and conn["errors"] == 0
        mem = res["memory"][name]
        assert mem["payload"] == cfg["memory_size"]
        assert mem["peak_rss"] >= mem["baseline_rss"] > 0
        assert mem["echo_errors"] == 0

    def test_c_floor_measures_ping_pong_and_bulk(self, quick):
        res, _, _ = quick
        _measured(res, "c")
        for mode in ("unpinned", "pinned"):
            lat = res["latency"]["c"][mode]
            assert lat["n"] > 0 and 0 < lat["p50_us"] <= lat["p99_us"]
        bulk = res["bulk"]["c"]
        assert bulk["bytes"] == res["config"]["bulk_total"]
        assert bulk["chunk"] == res["config"]["bulk_chunk"]
        assert bulk["mb_s"] > 0

    def test_lumo_is_measured_when_built_and_reported_skipped_when_not(self, quick):
        res, md, _ = quick
        lumo = res["systems"]["lumo"]
        if _lumo_importable():
            assert lumo["available"], lumo
            claims = {t["claim"]: t for t in res["targets"]}
            pinned = claims["pinned small-call p50: lumo / multiprocessing.connection"]
            assert pinned["value"] == pytest.approx(
                res["latency"]["lumo"]["pinned"]["p50_us"]
                / res["latency"]["mpconn"]["pinned"]["p50_us"])
            assert pinned["met"] in (True, False)
        else:
            assert not lumo["available"] and "lumo" in lumo["reason"]
            assert "lumo was not measured in this run" in md
            assert all(t["met"] is None for t in res["targets"])
            pytest.skip("lumo's extension modules are not built")

    def test_markdown_has_the_tables_and_a_row_per_measured_system(self, quick):
        res, md, _ = quick
        for heading in ("## Targets", "## Small-call latency", "## Payload echo, MB/s",
                        "## Aggregate calls/s", "## Connect plus first call",
                        "## Server memory", "## Instructions per round trip"):
            assert heading in md
        assert res["instructions"] == {"skipped": "a quick run leaves them out "
                                                  "(`python -m bench --instructions`)"}
        for t in res["targets"]:
            assert t["claim"] in md
        for info in res["systems"].values():
            if info["available"]:
                assert f"| {info['label']} | " in md
        assert "| system | 1 proc | 4 proc | 1 thr | 4 thr | wrong results |" in md


def test_a_peer_that_does_not_import_is_skipped_not_a_crash(tmp_path):
    fake = tmp_path / "shadow" / "rpyc"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('no rpyc in this environment')\n")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "shadow"))
    res, md = _run_bench(tmp_path / "out", "rpyc", env=env)
    assert res["systems"]["rpyc"] == {
        "label": "rpyc", "kind": "peer", "notes": res["systems"]["rpyc"]["notes"],
        "available": False, "reason": "ImportError: no rpyc in this environment"}
    assert "rpyc" not in res["latency"] and not res["errors"]
    assert "skipped: ImportError: no rpyc in this environment" in md


class TestProcesses:
    def test_server_is_stopped_when_the_measurement_fails(self):
        reg = measure.Registry()
        try:
            with pytest.raises(RuntimeError, match="measurement broke"):
                with measure.python_server(reg, "rawpy") as (port, proc):
                    assert proc.poll() is None
                    raise RuntimeError("measurement broke")
            assert proc.poll() is not None
            assert reg.alive() == []
        finally:
            reg.close()

    def test_server_that_cannot_start_is_reported_with_its_output(self):
        reg = measure.Registry()
        try:
            with pytest.raises(RuntimeError, match="server exited with status") as info:
                with measure.python_server(reg, "no-such-target"):
                    pass
            assert "KeyError" in str(info.value)
        finally:
            reg.close()

    def test_registry_close_ends_every_process(self):
        reg = measure.Registry()
        procs = [reg.popen([sys.executable, "-c", "import time; time.sleep(600)"])
                 for _ in range(2)]
        reg.close()
        assert all(p.poll() is not None for p in procs)


class _Wrong:
    """A client whose calls fail the way lumo reports failures: an exception returned."""

    def add(self, a, b):
        return ConnectionError("connection refused")

    def close(self):
        pass


def test_worker_counts_a_returned_exception_as_a_wrong_result(monkeypatch):
    from bench import targets

    class Fake(targets.Target):
        name = "fake"

        def client(self, port, timeout):
            return _Wrong()

    monkeypatch.setitem(targets.PYTHON_TARGETS, "fake", Fake())
    lat = worker.task_latency({"target": "fake", "port": 1, "n": 5, "seconds": 10, "warmup": 2})
    assert lat["n"] == 5 and lat["errors"] == 7
    assert "connection refused" in lat["first_error"]
    conn = worker.task_connect({"target": "fake", "port": 1, "n": 3, "seconds": 10})
    assert conn["n"] == 3 and conn["errors"] == 3
    thr = worker.task_threads({"target": "fake", "port": 1, "clients": 2, "seconds": 1,
                               "max_calls": 10})
    assert thr["calls"] == 0 and thr["errors"] == 2
    procs = worker.task_procs({"target": "fake", "port": 1, "clients": 2, "seconds": 1,
                               "max_calls": 10})
    assert procs["clients"] == 2 and procs["calls"] == 0 and procs["errors"] == 2
    assert "warm-up call gave a wrong result" in procs["first_error"]


def test_percentile_is_nearest_rank():
    values = list(range(1, 101))
    assert worker.percentile(values, 50) == 50
    assert worker.percentile(values, 99) == 99
    assert worker.percentile(values, 100) == 100
    assert worker.percentile([7], 99) == 7
    assert worker.percentile([1, 2, 3], 50) == 2
    assert worker.percentile([], 50) is None


def test_only_filter_keeps_the_run_order_and_refuses_unknown_names():
    assert harness.parse_only("mpconn, LUMO,c") == ["c", "lumo", "mpconn"]
    assert harness.parse_only(None) == list(harness.SYSTEMS)
    with pytest.raises(ValueError, match="grpc"):
        harness.parse_only("lumo,grpc")


class TestInstructions:
    """The arithmetic and the choices of bench.instructions; callgrind itself is not run."""

    def test_per_call_is_the_difference_over_the_calls_and_takes_the_growing_thread(self):
        # thread 1, the serving loop, is the biggest but barely grows; thread 3 handles calls
        low = ({"1": 9_000_000, "2": 50_000, "3": 2_000_000}, 5_000_000)
        high = ({"1": 9_100_000, "2": 50_000, "3": 52_000_000}, 60_000_000)
        assert instructions.per_call(low, high, 5000) == {
            "per_call": 21_000, "client_per_call": 11_000, "server_per_call": 10_000,
            "server_process_per_call": 10_020}
        # a thread that exists only in the longer run counts from zero
        assert instructions.per_call(({"1": 10}, 0), ({"1": 10, "2": 500}, 1000),
                                     100)["server_per_call"] == 5

    def test_calls_and_systems_are_checked(self):
        assert instructions.parse_calls("1000,6000") == (1000, 6000)
        for bad in ("6000,1000", "0,10", "1000", "a,b", "1,2,3"):
            with pytest.raises(ValueError, match="--calls"):
                instructions.parse_calls(bad)
        assert [r.name for r in instructions.rows_for(harness.parse_only("lumo,mpconn,c"))] == [
            "lumo", "lumo-attr", "mpconn"]
        with pytest.raises(SystemExit):
            harness.main(["--instructions", "--only", "c,xmlrpc"])
        with pytest.raises(SystemExit):
            harness.main(["--instructions", "--calls", "10"])

    def test_table_has_a_row_per_system_measured(self):
        lines = report.instructions_lines({"python": "3.11.7", "calls": [1000, 6000], "rows": {
            "lumo": {"label": "lumo", "per_call": 21_146, "client_per_call": 10_613,
                     "server_per_call": 10_533, "server_process_per_call": 10_551}}})
        assert "6,000 calls minus 1,000, Python 3.11.7" in lines[0]
        assert lines[-1] == "| lumo | 21,146 | 10,613 | 10,533 | 10,551 |"


def _results(**over):
    cfg = harness.Config.make(quick=False)
    res = {"config": {"echo_sizes": cfg.echo_sizes, "clients": cfg.clients,
                      "memory_size": cfg.memory_size},
           "latency": {"lumo": {"pinned": {"p50_us": 24.0}, "unpinned": {"p50_us": 50.0}},
                       "c": {"pinned": {"p50_us": 20.0}},
                       "mpconn": {"pinned": {"p50_us": 60.0}},
                       "rawpy": {"unpinned": {"p50_us": 40.0}}},
           "bulk": {"c": {"mb_s": 2000.0, "bytes": 1 << 30, "chunk": 1 << 20}},
           "echo": {"lumo": {"numpy16MiB": {"mb_s": 900.0}, "128MiB": {"mb_s": 500.0}},
                    "mpconn": {"numpy16MiB": {"mb_s": 200.0}, "128MiB": {"mb_s": 200.0}}},
           "calls": {"lumo": {"processes": {"16": {"calls_s": 30000.0}},
                              "threads": {"64": {"calls": 1000, "errors": 0}}},
                     "mpconn": {"processes": {"16": {"calls_s": 20000.0}}}},
           "memory": {"lumo": {"payload": 100, "growth": 250, "baseline_rss": 1,
                               "peak_rss": 251}}}
    res.update(over)
    return res


def test_targets_compare_in_the_right_direction():
    got = {t["claim"]: (t["value"], t["met"]) for t in report.evaluate_targets(_results())}
    assert got == {
        "pinned small-call p50: lumo / C floor": (pytest.approx(1.2), True),
        "pinned small-call p50: lumo / multiprocessing.connection": (pytest.approx(0.4), True),
        "unpinned small-call p50: lumo / raw-socket Python RPC": (pytest.approx(1.25), False),
        "16 MiB numpy echo: lumo / (C bulk bandwidth / 2)": (pytest.approx(0.9), True),
        "16 MiB numpy echo: lumo / multiprocessing.connection": (pytest.approx(4.5), False),
        "128 MiB bytes echo: lumo / multiprocessing.connection": (pytest.approx(2.5), True),
        "16 client processes, calls/s: lumo / multiprocessing.connection":
            (pytest.approx(1.5), True),
        "64 client threads: wrong or failed lumo calls": (0, True),
        "server memory added during the 128 MiB echo / payload": (pytest.approx(2.5), True),
    }


def test_targets_are_not_met_without_the_numbers_behind_them():
    res = _results(calls={"lumo": {"threads": {"64": {"calls": 0, "errors": 0}}}},
                   memory={}, bulk={})
    del res["latency"]["c"]
    got = {t["claim"]: t["met"] for t in report.evaluate_targets(res)}
    assert got["pinned small-call p50: lumo / C floor"] is None
    assert got["16 MiB numpy echo: lumo / (C bulk bandwidth / 2)"] is None
    assert got["64 client threads: wrong or failed lumo calls"] is None  # no call made: no pass
    assert got["16 client processes, calls/s: lumo / multiprocessing.connection"] is None
    assert got["server memory added during the 128 MiB echo / payload"] is None
    wrong = _results()
    wrong["calls"]["lumo"]["threads"]["64"]["errors"] = 3
    got = {t["claim"]: t for t in report.evaluate_targets(wrong)}
    assert got["64 client threads: wrong or failed lumo calls"]["met"] is False


class _Corrupting:
    """Echoes with one byte changed (or, for arrays, one element)."""

    def echo(self, x):
        return x[:-1] + bytes([x[-1] ^ 1])

    def echo_array(self, arr):
        out = arr.copy()
        out[0] += 1
        return out

    def close(self):
        pass


def test_worker_echo_checks_every_payload_it_gets_back(monkeypatch):
    pytest.importorskip("numpy")
    from bench import targets

    class Fake(targets.Target):
        name = "fake"

        def client(self, port, timeout):
            return _Corrupting()

    monkeypatch.setitem(targets.PYTHON_TARGETS, "fake", Fake())
    out = worker.task_echo({"target": "fake", "port": 1, "n": 3, "seconds": 10,
                            "warmup_max": 1024,
                            "sizes": [["1KiB", 1024, "bytes"], ["2KiB", 2048, "bytes"],
                                      ["numpy1KiB", 1024, "numpy"]]})
    assert out["1KiB"]["n"] == 3 and out["1KiB"]["errors"] == 4  # the warm-up call too
    assert out["2KiB"]["n"] == 3 and out["2KiB"]["errors"] == 3
    assert out["numpy1KiB"]["errors"] == 4
    assert out["2KiB"]["size"] == 2048 and out["2KiB"]["mb_s"] > 0


class _FakeRegistry:
    workdir = Path(".")


def test_a_payload_cut_off_at_the_time_out_skips_the_bigger_ones_and_the_memory_run(
        monkeypatch):
    cfg = harness.Config.make(quick=False)
    run = harness.Run(cfg, ["rawpy"], _FakeRegistry(), log=lambda s: None)
    asked = []

    def fake_worker(reg, task, params, timeout):
        label, size, kind = params["sizes"][0]
        asked.append(label)
        if size >= 16 * harness.MiB and kind == "bytes":
            raise TimeoutError("cut off")
        return {label: {"size": size, "kind": kind, "n": 1, "mb_s": 1.0, "errors": 0}}

    monkeypatch.setattr(measure, "worker", fake_worker)

    @contextlib.contextmanager
    def fake_server(reg, name, cpu=None):
        yield 1, SimpleNamespace(pid=os.getpid())

    monkeypatch.setattr(measure, "python_server", fake_server)
    run.echo("rawpy", 1)  # every size but the memory run's 128 MiB
    echo = run.res["echo"]["rawpy"]
    assert asked == ["1KiB", "1MiB", "16MiB", "numpy16MiB"]
    assert echo["16MiB"]["timeout_s"] == cfg.echo_timeout and echo["16MiB"]["mb_s"] is None
    assert echo["numpy16MiB"]["mb_s"] == 1.0
    with pytest.raises(RuntimeError, match="128MiB echo was skipped"):
        run.memory_echo("rawpy")
    assert asked == ["1KiB", "1MiB", "16MiB", "numpy16MiB"]
    assert echo["128MiB"]["skipped"] and echo["128MiB"]["mb_s"] is None

    run.res["systems"] = {"rawpy": {"label": "raw", "available": True}}
    run.res["config"] = {"echo_sizes": cfg.echo_sizes, "clients": cfg.clients}
    md = report.markdown(run.res)
    assert "cut off: no result in 60 s" in md
    assert "skipped: a smaller payload was cut off" in md


class TestChildProcesses:
    def test_a_child_that_hangs_is_killed_at_the_time_out(self):
        reg = measure.Registry()
        try:
            with pytest.raises(TimeoutError, match="did not finish"):
                measure.run_json(reg, [sys.executable, "-c", "import time; time.sleep(600)"],
                                 timeout=1, stem="hang")
            assert reg.alive() == []
        finally:
            reg.close()

    def test_a_child_that_fails_is_reported_with_its_error_output(self):
        reg = measure.Registry()
        try:
            with pytest.raises(RuntimeError, match="status 3.*went wrong"):
                measure.run_json(reg, [sys.executable, "-c",
                                       "import sys; sys.stderr.write('went wrong'); sys.exit(3)"],
                                 timeout=60, stem="fail")
            out = measure.run_json(reg, [sys.executable, "-c",
                                         "print('noise'); print('{\"a\": 1}')"],
                                   timeout=60, stem="ok")
            assert out == {"a": 1}
        finally:
            reg.close()

    def test_vm_status_reads_this_process(self):
        st = measure.vm_status(os.getpid())
        assert st["VmHWM"] >= st["VmRSS"] > 0


def test_markdown_ratio_tables_divide_lumo_by_each_system():
    res = _results()
    res["meta"] = {"quick": False, "cpus": 2, "loadavg_start": [0.1, 0.1, 0.1]}
    res["systems"] = {n: {"label": n.upper(), "available": True} for n in ("lumo", "mpconn")}
    res["calls"]["lumo"]["processes"] = {"16": {"calls_s": 30000.0, "errors": 0}}
    res["calls"]["mpconn"]["processes"] = {"16": {"calls_s": 20000.0, "errors": 0}}
    res["calls"]["mpconn"]["threads"] = {}
    res["connect"] = {"lumo": {"p50_ms": 1.0, "p99_ms": 2.0, "errors": 0},
                      "mpconn": {"p50_ms": 4.0, "p99_ms": 8.0, "errors": 0}}
    res["config"]["clients"] = [16]
    md = report.markdown(res)
    calls = md.split("## Aggregate calls/s")[1].split("## Connect")[0]
    assert "| MPCONN | 1.50x | n/a |" in calls  # 30000 / 20000, threads not measured
    assert "| MPCONN | 4.00 | 8.00 | 0.25x | 0 |" in md  # connect: 1 ms / 4 ms
    echo = md.split("## Payload echo")[1].split("## Aggregate")[0]
    assert "| MPCONN | n/a | n/a | n/a | 2.50x | 4.50x |" in echo.split("lumo / this:")[1]
    assert "Other work was running" not in md
    res["meta"]["loadavg_start"] = [3.0, 1.0, 1.0]
    assert "Other work was running when this run began (load average 3.0" in report.markdown(res)


def test_memory_payload_is_one_of_the_echo_sizes():
    for quick in (False, True):
        cfg = harness.Config.make(quick)
        assert [harness.size_label(cfg.memory_size), cfg.memory_size, "bytes"] in cfg.echo_sizes
    assert harness.size_label(16 * harness.MiB) == "16MiB"
    assert harness.size_label(1536) == "1536B"


@pytest.mark.skipif(not (measure.shutil.which("cc") or measure.shutil.which("gcc")),
                    reason="no C compiler")
def test_c_floor_moves_every_byte_and_times_every_round_trip(tmp_path):
    reg = measure.Registry(tmp_path)
    try:
        binary, version = measure.build_floor(tmp_path)
        assert version
        with measure.floor_server(reg, binary) as (port, _):
            ping = measure.floor_ping(reg, binary, port, 50, 30.0)
            # a total that is no multiple of the chunk, so the last write is a short one
            bulk = measure.floor_bulk(reg, binary, port, 3 * 1024 * 1024 + 5, 1024 * 1024)
        assert ping["n"] == 50 == len(ping["samples_ns"])
        assert all(s > 0 for s in ping["samples_ns"])
        assert bulk["bytes"] == 3 * 1024 * 1024 + 5 and bulk["mb_s"] > 0
    finally:
        reg.close()

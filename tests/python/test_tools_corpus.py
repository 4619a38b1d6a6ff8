"""Many files: local processes and a Dask cluster give the bits of one process."""

import contextlib
import dataclasses
import multiprocessing
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import numpy as np
import pytest
from conftest import assert_refused, marlune_command, require, run_marlune, write_audio

from marlune_tools import FileError, cli, corpus, demo, notes_command, npz
from marlune_tools.analysis import analyse_file
from marlune_tools.notes import Scale
from marlune_tools.settings import Settings

require("soundfile")
distributed = require("distributed")

SETTINGS = Settings(Scale(45, 81), hop_ms=5.0)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    rng = np.random.default_rng(7)
    return [
        str(write_audio(folder / f"take{i}.{kind}", rng.uniform(-0.5, 0.5, (rate // 2, channels)), rate, subtype))
        for i, (kind, rate, channels, subtype) in enumerate(
            [("wav", 48_000, 1, "FLOAT"), ("flac", 44_100, 2, "PCM_24"), ("wav", 22_050, 2, "PCM_16")]
        )
    ]


def jobs_into(folder, files):
    return [corpus.Job(path, str(folder / f"{i}.npz"), None, SETTINGS) for i, path in enumerate(files)]


def run_into(folder, files, **where):
    jobs = jobs_into(folder, files)
    summaries = list(corpus.run_all(jobs, **where))
    assert sorted(s.job.path for s in summaries) == sorted(files)
    return [npz.load(job.npz) for job in jobs]


def assert_same_bits(results, files):
    for got, path in zip(results, files):
        expected = analyse_file(path, SETTINGS)
        assert got.frames.tobytes() == expected.frames.tobytes() and got.frames.shape == expected.frames.shape
        assert (got.sample_rate, got.hop, got.notes) == (expected.sample_rate, expected.hop, expected.notes)


def test_local_processes_give_the_bits_of_one_process(tmp_path, files):
    assert_same_bits(run_into(tmp_path, files, workers=2), files)


@dataclasses.dataclass(frozen=True)
class WhoRuns:
    """A task that tells which process ran it, and the size of its file."""

    path: str

    def outputs(self):
        return []

    def absolute(self):
        return self

    def run(self, stop=None):
        return os.getpid(), os.stat(self.path).st_size if os.path.exists(self.path) else None


def test_this_process_is_one_of_the_workers(tmp_path):
    pids = [pid for pid, _ in corpus.run_all([WhoRuns(str(tmp_path / f"{i}")) for i in range(6)], workers=2)]
    assert len(pids) == 6 and os.getpid() in pids and len(set(pids)) <= 2


def test_every_process_takes_the_longest_file_left(tmp_path):
    sizes = [1, 5, 2, 6, 3, 4, 7, 0]
    for size in sizes:
        (tmp_path / f"{size}").write_bytes(b"x" * size)
    ran = list(corpus.run_all([WhoRuns(str(tmp_path / f"{size}")) for size in sizes], workers=2))
    # The file run first is the largest, and each process ran its files from the largest down.
    assert ran[0][1] == max(sizes)
    for pid in {pid for pid, _ in ran}:
        mine = [size for who, size in ran if who == pid]
        assert mine == sorted(mine, reverse=True)


def test_dask_cluster_gives_the_bits_of_one_process(tmp_path, files):
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster:
        results = run_into(tmp_path, files, scheduler=cluster.scheduler_address)
    assert_same_bits(results, files)


def test_a_bad_file_fails_the_run_and_leaves_no_partial_output(tmp_path, files):
    bad = tmp_path / "bad.wav"
    bad.write_text("not audio")
    with pytest.raises(FileError, match="bad.wav: not an audio file"):
        run_into(tmp_path, [*files, str(bad)], workers=2)
    assert not list((tmp_path).glob("**/*.part"))


def kill_workers_as_they_start():
    def kill():
        deadline = time.monotonic() + 60
        while not (workers := multiprocessing.active_children()) and time.monotonic() < deadline:
            time.sleep(0.001)
        for worker in workers:
            os.kill(worker.pid, signal.SIGKILL)

    threading.Thread(target=kill, daemon=True).start()


def test_a_killed_worker_is_reported_not_waited_for(tmp_path, files):
    jobs = jobs_into(tmp_path, files)
    kill_workers_as_they_start()
    with pytest.raises(corpus.WorkerLost, match="ended abruptly") as lost:
        list(corpus.run_all(jobs, workers=2))
    # Every file is either analysed or named as not analysed.
    assert lost.value.paths and [os.path.exists(job.npz) for job in jobs] == [job.path not in lost.value.paths for job in jobs]
    assert not multiprocessing.active_children()


def test_the_command_reports_a_killed_worker_in_one_line(tmp_path, files, capsys):
    kill_workers_as_they_start()
    assert cli.main(["spectrogram", *files, "--out", str(tmp_path)]) == 1
    error = capsys.readouterr().err
    assert error.startswith("marlune: a worker process ended abruptly") and error.count("\n") == 1


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        yield cluster, client


@pytest.fixture(scope="module")
def long_files(tmp_path_factory):
    """Files that take a worker a while: it is busy with them when the test strikes."""
    folder = tmp_path_factory.mktemp("long")
    rng = np.random.default_rng(3)
    return [str(write_audio(folder / f"long{i}.wav", rng.uniform(-0.5, 0.5, 120 * 16_000), 16_000, "FLOAT"))
            for i in range(4)]


LONG_OPTIONS = ["--notes", "A1:A7", "--bins-per-semitone", "4"]


def until(condition):
    """Waits for `condition` (a hang is turned into a failure by the test's time limit)."""
    while not condition():
        time.sleep(0.005)


def parts(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


def idle(client):
    """Waits until every worker's only thread is free (the task running on it has ended)."""
    workers = list(client.scheduler_info()["workers"])
    client.gather([client.submit(int, pure=False, workers=[w], allow_other_workers=False) for w in workers])


def test_a_worker_killed_while_writing_leaves_no_partial_file(tmp_path, cluster, long_files):
    address, client = cluster[0].scheduler_address, cluster[1]
    pids = list(client.run(os.getpid).values())

    def kill_at_first_part():
        until(lambda: parts(tmp_path))
        for pid in pids:
            os.kill(pid, signal.SIGKILL)

    threading.Thread(target=kill_at_first_part, daemon=True).start()
    settings = Settings(Scale(33, 105, 4))
    jobs = [corpus.Job(path, str(tmp_path / f"{i}.npz"), str(tmp_path / f"{i}.png"), settings)
            for i, path in enumerate(long_files)]
    try:
        lost = []
        list(corpus.run_all(jobs, scheduler=address))
    except corpus.WorkerLost as exc:
        lost = exc.paths
    assert parts(tmp_path) == []
    assert [os.path.exists(job.npz) and os.path.exists(job.png) for job in jobs] == [p not in lost for p in long_files]
    client.wait_for_workers(2)


def test_ctrl_c_stops_running_tasks_before_the_command_exits(tmp_path, cluster, long_files):
    address, client = cluster[0].scheduler_address, cluster[1]
    with subprocess.Popen(marlune_command("spectrogram", *long_files, *LONG_OPTIONS, "--out", tmp_path,
                                          "--scheduler", address), stderr=subprocess.PIPE, text=True) as command:
        until(lambda: any(client.processing().values()) or command.poll() is not None)
        command.send_signal(signal.SIGINT)
        assert command.wait(timeout=300) == 130 and command.stderr.read() == "marlune: interrupted\n"
    left = sorted(os.listdir(tmp_path))
    idle(client)
    assert sorted(os.listdir(tmp_path)) == left and parts(tmp_path) == []
    assert len(left) < 2 * len(long_files)


@contextlib.contextmanager
def listener(answer):
    """A TCP listener on loopback that is not a scheduler: it sends `answer` (or nothing) and keeps the line open."""
    server = socket.create_server(("127.0.0.1", 0))
    accepted = []

    def serve():
        with contextlib.suppress(OSError):
            while True:
                connection, _ = server.accept()
                accepted.append(connection)
                connection.sendall(answer)

    threading.Thread(target=serve, daemon=True).start()
    try:
        yield f"tcp://127.0.0.1:{server.getsockname()[1]}"
    finally:
        server.close()
        for connection in accepted:
            connection.close()


def closed_port():
    with socket.create_server(("127.0.0.1", 0)) as server:
        return contextlib.nullcontext(f"tcp://127.0.0.1:{server.getsockname()[1]}")


BAD_SCHEDULERS = {
    "garbage": lambda: contextlib.nullcontext("garbage"),
    "no host": lambda: contextlib.nullcontext("tcp://"),
    "unknown kind": lambda: contextlib.nullcontext("inproc://x"),
    "nobody listening": closed_port,
    "listener that never answers": lambda: listener(b""),
    "HTTP server": lambda: listener(b"HTTP/1.0 400 Bad Request\r\n\r\n"),
}


@pytest.mark.parametrize("kind", BAD_SCHEDULERS)
def test_a_bad_scheduler_is_reported_in_one_line_within_the_connect_time(tmp_path, files, kind):
    with BAD_SCHEDULERS[kind]() as address:
        done = run_marlune("spectrogram", files[0], "--out", tmp_path / "out", "--scheduler", address,
                           timeout=corpus.CONNECT_SECONDS + 60)
    assert_refused(done, address)
    assert not (tmp_path / "out").exists()


def test_a_file_the_workers_cannot_see_is_named(tmp_path, cluster, files):
    # The workers run elsewhere: here, a file that vanishes after the local check stands for one
    # that the workers' machines do not have.
    gone = tmp_path / "gone.wav"
    shutil.copy(files[0], gone)
    job = corpus.Job(str(gone), str(tmp_path / "gone.npz"), None, SETTINGS)
    gone.unlink()
    with pytest.raises(FileError, match="gone.wav: the file is not visible on the worker"):
        list(corpus.run_all([job], scheduler=cluster[0].scheduler_address))


@pytest.mark.parametrize("where", ["processes", "cluster"])
def test_notes_of_a_folder_are_those_of_one_process(tmp_path, where, request, capsys):
    require("mido")
    folder = tmp_path / "in"
    folder.mkdir()
    for rate in (48_000, 44_100):
        write_audio(folder / f"demo{rate}.wav", demo.signal(rate), rate, "FLOAT")
    (folder / "bad.wav").write_text("not audio")
    scheduler = ["--scheduler", request.getfixturevalue("cluster")[0].scheduler_address] if where == "cluster" else []
    status = cli.main(["notes", str(folder), "--out", str(tmp_path / "out"), "--keep-going", *scheduler])
    assert status == 1 and "skipped" in capsys.readouterr().err.splitlines()[-1]
    assert sorted(os.listdir(tmp_path / "out")) == ["demo44100.csv", "demo44100.mid", "demo48000.csv", "demo48000.mid"]
    for rate in (48_000, 44_100):
        alone = notes_command.run_file(str(folder / f"demo{rate}.wav"), str(tmp_path / "alone.mid"),
                                       str(tmp_path / "alone.csv"), notes_command.Options())
        rows = (tmp_path / "out" / f"demo{rate}.csv").read_text().splitlines()
        assert len(alone.events) > 5 and rows == (tmp_path / "alone.csv").read_text().splitlines()

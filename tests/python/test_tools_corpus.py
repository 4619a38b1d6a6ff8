"""Many files: local processes and a Dask cluster give the bits of one process."""

import multiprocessing
import os
import signal
import threading
import time

import numpy as np
import pytest
from conftest import require, write_audio

from marlune_tools import FileError, cli, corpus, npz
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


def test_dask_cluster_gives_the_bits_of_one_process(tmp_path, files):
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
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

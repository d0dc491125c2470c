"""The `tevu` command end to end: the demo on a small setting, and `join`
on point files."""

import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
from scipy.spatial import cKDTree


def tevu_command(*args, check=True):
    return subprocess.run([sys.executable, "-m", "tevu", *args], capture_output=True,
                          text=True, check=check)


def test_demo_runs_checks_and_times_the_peers():
    out = tevu_command("demo", "--clouds", "5", "--points", "400", "--check", "4",
                       "--workers", "2", "--no-progress").stdout
    assert "5 clustered clouds x 400 points, 20 ordered pairs" in out
    assert "4 random pairs of 20 equal (against cKDTree)" in out
    for row in ("graphs", "join", "tevu", "cKDTree"):
        assert f"  {row} " in out


def test_join_scores_point_files(tmp_path):
    rng = np.random.default_rng(4)
    arrays = [rng.random((n, 3)) for n in (200, 150, 90)]
    np.save(tmp_path / "a.npy", arrays[0])
    np.savetxt(tmp_path / "b.csv", arrays[1], delimiter=",", header="x,y,z", comments="")
    np.savetxt(tmp_path / "c.csv", arrays[2], delimiter=",")
    files = [str(tmp_path / f) for f in ("a.npy", "b.csv", "c.csv")]
    tevu_command("join", *files, "--out", str(tmp_path / "scores.npy"), "--reduce", "max")
    scores = np.load(tmp_path / "scores.npy")
    for q in range(3):
        for t in range(3):
            want = np.nan if q == t else cKDTree(arrays[t]).query(arrays[q])[0].max()
            assert np.array_equal(scores[q, t], want, equal_nan=True)


@pytest.mark.parametrize("name, content, message", [
    ("missing.npy", None, "No such file"),
    ("points.txt", "1,2,3\n", "expected a .npy or .csv file"),
    ("flat.csv", "1,2\n3,4\n", "shape"),
    # Rows count from the first point, with or without a header.
    ("bad.csv", "1,2,3\n4,5,6\n7,abc,9\n", "row 2"),
    ("header.csv", "x,y,z\n1,2,3\n7,abc,9\n", "row 1"),
    ("semicolons.csv", "1;2;3\n", "no comma-separated numbers after the first line"),
    ("complex.npy", np.ones((4, 3), complex), "numeric array"),
    ("far.csv", "1,2,3\n1e19,0,0\n", "too large for float32 searches"),
])
def test_join_reports_bad_files(tmp_path, name, content, message):
    if isinstance(content, str):
        (tmp_path / name).write_text(content)
    elif content is not None:
        np.save(tmp_path / name, content)
    run = tevu_command("join", str(tmp_path / name), "--out", str(tmp_path / "s.npy"),
                       "--dtype", "float32", check=False)
    assert run.returncode != 0 and message in run.stderr and name in run.stderr


def test_a_csv_with_a_byte_order_mark_keeps_its_first_point(tmp_path):
    # Spreadsheets write "CSV UTF-8" with a byte order mark before the first
    # line; taken for a header, it would drop the point (0, 0, 0) unseen.
    (tmp_path / "t.csv").write_bytes(b"\xef\xbb\xbf0,0,0\n10,10,10\n")
    (tmp_path / "q.csv").write_text("0,0,0\n")
    files = [str(tmp_path / f) for f in ("q.csv", "t.csv")]
    tevu_command("join", *files, "--out", str(tmp_path / "s.npy"), "--reduce", "min")
    assert np.load(tmp_path / "s.npy")[0, 1] == 0


@pytest.mark.parametrize("option, value", [("--clouds", "1"), ("--points", "0"),
                                           ("--check", "-1"), ("--workers", "0"),
                                           ("--seed", "-1")])
def test_demo_refuses_counts_it_cannot_run(option, value):
    run = tevu_command("demo", option, value, "--no-peers", check=False)
    assert run.returncode == 2 and "must be at least" in run.stderr
    assert "Traceback" not in run.stderr


def test_an_empty_csv_is_refused_clearly(tmp_path):
    (tmp_path / "e.csv").write_text("")
    np.save(tmp_path / "a.npy", np.zeros((3, 3)))
    run = tevu_command("join", str(tmp_path / "a.npy"), str(tmp_path / "e.csv"), "--out",
                       str(tmp_path / "s.npy"), check=False)
    assert run.returncode != 0 and "no points" in run.stderr
    assert "Traceback" not in run.stderr and "Warning" not in run.stderr


def test_join_names_the_file_it_writes_and_checks_its_folder_first(tmp_path):
    np.save(tmp_path / "a.npy", np.random.default_rng(0).random((50, 3)))
    a = str(tmp_path / "a.npy")
    run = tevu_command("join", a, a, "--out", str(tmp_path / "scores"))
    assert f"written to {tmp_path / 'scores.npy'}" in run.stdout
    assert np.load(tmp_path / "scores.npy").shape == (2, 2)
    run = tevu_command("join", a, a, "--out", str(tmp_path / "missing" / "s.npy"), check=False)
    assert run.returncode != 0 and "no such directory" in run.stderr
    assert "Traceback" not in run.stderr


@pytest.mark.parametrize("out, extra, message", [
    ("isdir.npy", [], "is a directory"),
    ("/proc/tevu-scores.npy", [], "/proc/tevu-scores.npy"),  # a folder no one can write to
    ("s.npy", ["--reduce", "histogram"], "--reduce histogram needs --bound"),
])
def test_join_refuses_what_it_cannot_do_clearly(tmp_path, out, extra, message):
    if out.startswith("/proc") and not pathlib.Path("/proc/self").is_dir():
        pytest.skip("needs Linux's /proc")
    (tmp_path / "isdir.npy").mkdir()
    with open(tmp_path / "A.NPY", "wb") as file:  # suffixes in either case
        np.save(file, np.eye(4, 3))
    a = str(tmp_path / "A.NPY")
    run = tevu_command("join", a, a, "--out", str(tmp_path / out), *extra, check=False)
    assert run.returncode != 0 and message in run.stderr
    assert "Traceback" not in run.stderr
    tevu_command("join", a, a, "--out", str(tmp_path / "fine.npy"))


def test_the_console_script_is_installed():
    script = shutil.which("tevu", path=str(pathlib.Path(sys.executable).parent))
    assert script is not None
    assert "demo" in subprocess.run([script, "--help"], capture_output=True, text=True,
                                    check=True).stdout

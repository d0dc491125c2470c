"""The benchmark suite runs, and its answers agree with the k-d trees'."""

import json
import pathlib
import subprocess
import sys

import pytest

RUN = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "run.py"


@pytest.fixture(scope="module")
def suite_result(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("bench")
    out = tmp / "result.json"
    done = subprocess.run(
        [sys.executable, str(RUN), "--quick", "--only", "^(graph|build|k1|k8|all_by_all|graph_grids|end_to_end)$",
         "--sizes", "1500", "--join", "4", "800", "--e2e", "4", "800", "--grids", "800",
         "--rounds", "1",
         "--json", str(out), "--cache", str(tmp / "cache")],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(out.read_text()), done.stdout


def test_every_selected_scenario_reports_rows(suite_result):
    data, stdout = suite_result
    scenarios = {row["scenario"] for row in data["rows"]}
    assert scenarios == {"graph", "build", "k1", "k8", "all_by_all", "graph_grids", "end_to_end"}
    assert "Speed targets" in stdout and data["summary"]


@pytest.mark.parametrize("scenario", ["graph", "k1", "all_by_all", "graph_grids", "end_to_end"])
def test_answers_agree_with_the_trees(suite_result, scenario):
    rows = [row for row in suite_result[0]["rows"] if row["scenario"] == scenario]
    assert rows and all(row["ok"] for row in rows), [row["check"] for row in rows]


def test_join_rows_name_the_interpreter_they_ran_on(suite_result):
    # On a free-threaded interpreter the benchmark's own imports must not turn
    # the GIL back on either, or its thread rows would measure something else.
    expected = "GIL" if getattr(sys, "_is_gil_enabled", lambda: True)() else "free-threaded"
    data = suite_result[0]
    rows = [row for row in data["rows"] if row["scenario"] == "all_by_all"]
    assert rows and {row["interpreter"] for row in rows} == {expected}
    assert data["meta"]["interpreter"] == expected


def test_k8_recall_is_measured(suite_result):
    rows = [row for row in suite_result[0]["rows"] if row["scenario"] == "k8"]
    assert {row["ef"] for row in rows} == {8, 16, 32}
    assert all(0.99 <= row["recall"] <= 1 for row in rows)

"""The norvane-native command on the sample market: exit status, key lines, files written, and
bad input answered with one line on standard error (never a traceback)."""
import os
import subprocess
import sys

import pytest

from norvane_cli import main as cli
from norvane_cli import sample_market


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    return sample_market.ensure(tmp_path_factory.mktemp("market"))


def run(*argv):
    """The console script in a fresh process, as a user runs it."""
    exe = os.path.join(os.path.dirname(sys.executable), "norvane-native")
    return subprocess.run([exe, *map(str, argv)], capture_output=True, text=True, timeout=300)


def test_sample_market_is_deterministic(tmp_path, market):
    import h5py
    import numpy as np

    other = sample_market.ensure(tmp_path / "again")
    for rel in ("minbar/stock/600000.SH.h5", "minbar/futures/A2405.h5", "ticks/000001.SZ.h5"):
        with h5py.File(market / rel) as a, h5py.File(other / rel) as b:
            assert sorted(a) == sorted(b)
            for name in a:
                assert np.array_equal(a[name][()], b[name][()])
    with h5py.File(market / "minbar/futures/A2405.h5") as h5:
        index, data = h5["index"][()], h5["data"][()]
    # The night session of a trading date is stamped with the previous calendar date.
    second_block = data[int(index["line_no"][1])]
    assert second_block["datetime"] // 1000000 == index["date"][0] and second_block["datetime"] % 1000000 == 210100


def test_bars_prints_one_date(market):
    out = run("bars", "600000.SH", "2024-01-03", "--min-path", market / "minbar", "--fields", "datetime",
              "close_price", "--limit", "2")
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[0] == "600000.SH 20240103: 240 minute bars"
    assert "20240103093100" in out.stdout and "238 more rows" in out.stdout


def test_ticks_prints_one_date_sorted(market):
    last = sample_market.trading_days()[-1].strftime("%Y%m%d")
    out = run("ticks", "000001.SZ", last, "--tick-path", market / "ticks", "--limit", "3")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == f"000001.SZ {last}: 4800 ticks"
    assert lines[3].split()[1] == "93000000"  # earliest time first, though the file is shuffled


@pytest.mark.parametrize(
    "argv, message",
    [
        (["bars", "600000.SH", "20240103", "--min-path", "{missing}"], "not a directory"),
        (["bars", "999999.SH", "20240103", "--min-path", "{minbar}"], "unknown code 999999.SH"),
        (["bars", "600000.SH", "20240106", "--min-path", "{minbar}"], "no minute bars for 600000.SH on 20240106"),
        (["bars", "600000.SH", "20240103", "--min-path", "{minbar}", "--fields", "nope"], "nope"),
        (["ticks", "600000.SH", "20240102", "--tick-path", "{ticks}"], "no ticks for 600000.SH on 20240102"),
        (["ticks", "A2405", "20240102", "--tick-path", "{ticks}"], "unknown code A2405"),
        (["ticks", "600000.SH", "20240102", "--tick-path", "{missing}"], "not a directory"),
        (["algo-bars", "--min-path", "{minbar}", "--algo-path", "{algo}", "XX"], "unknown codes"),
        (["algo-bars", "--min-path", "{empty}", "--algo-path", "{algo}"], "no minute-bar files"),
        (["algo-bars", "--min-path", "{minbar}", "--algo-path", "{algo}", "--csv", "x.csv"], "exactly one CODE"),
    ],
)
def test_bad_input_gives_one_line_and_failure(market, tmp_path, capsys, argv, message):
    (tmp_path / "empty").mkdir()
    paths = {"missing": tmp_path / "missing", "minbar": market / "minbar", "ticks": market / "ticks",
             "algo": tmp_path / "algo", "empty": tmp_path / "empty"}
    argv = [a.format(**paths) for a in argv]
    assert cli.main(argv) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("norvane-native: error: ") and message in err[0]


@pytest.mark.parametrize("argv", [["bars", "600000.SH", "2024/01/03", "--min-path", "."],
                                  ["algo-bars", "--min-path", ".", "--algo-path", ".", "--window", "930"]])
def test_malformed_arguments_are_usage_errors(argv, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(argv)
    assert info.value.code == 2
    assert "Traceback" not in capsys.readouterr().err


def test_plot_without_matplotlib_is_one_line(market, tmp_path, capsys):
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        pass
    else:
        pytest.skip("matplotlib is installed")
    argv = ["algo-bars", "600000.SH", "--min-path", str(market / "minbar"), "--algo-path", str(tmp_path),
            "--plot", str(tmp_path / "x.png")]
    assert cli.main(argv) == 1
    assert "needs matplotlib" in capsys.readouterr().err
    assert not list(tmp_path.glob("*.h5"))  # refused before any work


@pytest.mark.parametrize("command", ["demo", "algo-bars", "bars", "ticks"])
def test_every_command_has_help(command, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main([command, "--help"])
    assert info.value.code == 0
    assert "usage: norvane-native " + command in capsys.readouterr().out


def test_algo_bars_builds_then_refreshes_and_exports(market, tmp_path):
    algo = tmp_path / "algo"
    first = run("algo-bars", "--min-path", market / "minbar", "--algo-path", algo, "--window", "930-1000",
                "--window", "1430-1500", "--jobs", "2", "--no-progress")
    assert first.returncode == 0, first.stderr
    assert "instruments: 4  windows: 2  datasets created: 8  rebuilt: 0  days appended: 0  failures: 0" in first.stdout
    assert sorted(p.name for p in algo.glob("*.h5")) == ["algo_1430_1500.h5", "algo_930_1000.h5"]

    csv_file = tmp_path / "bars.csv"
    again = run("algo-bars", "600000.SH", "--min-path", market / "minbar", "--algo-path", algo, "--window",
                "930-1000", "--csv", csv_file, "--no-progress")
    assert again.returncode == 0, again.stderr
    assert "datasets created: 0  rebuilt: 0  days appended: 0" in again.stdout
    lines = csv_file.read_text().splitlines()
    assert lines[0] == "code,window,date,VWAP,TWAP,volume"
    assert len(lines) == 1 + sample_market.TRADING_DAYS and lines[1].startswith("600000.SH,930-1000,2024-01-02,")


def test_demo_runs_every_part(market):
    out = run("demo", "--root", market, "--no-progress")
    assert out.returncode == 0, out.stderr
    text = out.stdout
    for line in ("8 datasets for 4 instruments x 2 windows, 0 failures", "is the limit price exactly",
                 "ORDER_CANCELLATION_PASS", "CHILD_ORDER_TRADE", "AFTER_TRADING", "16 engine events drained",
                 "2024-03-27       True"):
        assert line in text
    summary = text.split("Summary")[1].splitlines()
    assert [s.split()[0] for s in summary if s.strip() and not s.startswith("-")] == ["algo", "minute", "live",
                                                                                        "stock"]

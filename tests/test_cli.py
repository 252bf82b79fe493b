import json
import os
import subprocess
import sys

import pytest

from kiro import cli

from dataset_samples import make_coco, make_yolo, tree

pytest.importorskip("pycocotools")

PIPELINE = "- {op: quendor, angle: [-8, 8], prob: 1.0}\n- {op: generate_noisy, noise_typ: gauss, p: 0.5}\n"


@pytest.fixture
def paths(tmp_path):
    src = str(tmp_path / "src")
    make_yolo(src, count=3)
    pipeline = str(tmp_path / "pipeline.yaml")
    with open(pipeline, "w") as f:
        f.write(PIPELINE)
    return src, str(tmp_path / "dst"), pipeline


@pytest.mark.parametrize("command", ["multiply", "preview"])
def test_help_lists_every_option_with_its_default(command, capsys):
    with pytest.raises(SystemExit) as e:
        cli.main([command, "--help"])
    assert e.value.code == 0
    text = capsys.readouterr().out
    parser = cli.build_parser()
    sub = parser._subparsers._group_actions[0].choices[command]
    for action in sub._actions:
        for option in action.option_strings:
            assert option in text
        if action.option_strings and action.default not in (None, False) and action.dest != "help":
            assert "(default: %s)" % action.default in text.replace("\n", " ").replace("  ", " ") or \
                "default: %s" % action.default in " ".join(text.split())


def test_multiply_writes_copies_and_a_summary(paths, capsys):
    src, dst, pipeline = paths
    assert cli.main(["multiply", src, dst, "--pipeline", pipeline, "--copies", "2", "--workers", "1"]) == 0
    out = capsys.readouterr()
    assert "3 samples read, 6 written, 0 skipped" in out.out
    assert out.err == ""  # no progress bar when stderr is not a terminal
    names = sorted(os.listdir(os.path.join(dst, "images")))
    assert names == ["img00_k0.png", "img00_k1.png", "img01_k0.png", "img01_k1.png", "img02_k0.png", "img02_k1.png"]
    report = json.load(open(os.path.join(dst, "kiro_report.json")))
    assert report["counts"]["written"] == 6 and report["pipeline"][0]["op"] == "quendor"


def test_exit_status_is_1_when_a_sample_is_skipped(paths, capsys):
    src, dst, pipeline = paths
    with open(os.path.join(src, "images", "img01.png"), "wb") as f:
        f.write(b"\x89PNG broken")
    assert cli.main(["multiply", src, dst, "--pipeline", pipeline, "--workers", "1"]) == 1
    assert "1 skipped (1 unreadable image)" in capsys.readouterr().out


@pytest.mark.parametrize("extra,message", [
    (["--copies", "-1"], "--copies"),
    (["--quality", "101"], "quality"),
])
def test_bad_options_are_refused_in_one_line(paths, extra, message, capsys):
    src, dst, pipeline = paths
    assert cli.main(["multiply", src, dst, "--pipeline", pipeline] + extra) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1
    assert not os.path.exists(dst)


def test_unknown_operation_refused_before_any_work(paths, capsys):
    src, dst, pipeline = paths
    with open(pipeline, "w") as f:
        f.write("- {op: nosuchop}\n")
    assert cli.main(["multiply", src, dst, "--pipeline", pipeline]) == 2
    assert "nosuchop" in capsys.readouterr().err
    assert not os.path.exists(dst)


def test_dst_inside_src_refused(paths, capsys):
    src, _, pipeline = paths
    assert cli.main(["multiply", src, os.path.join(src, "out"), "--pipeline", pipeline]) == 2
    assert "inside SRC" in capsys.readouterr().err


def test_overwrite_and_resume_exclude_each_other(paths):
    src, dst, pipeline = paths
    with pytest.raises(SystemExit):
        cli.main(["multiply", src, dst, "--pipeline", pipeline, "--overwrite", "--resume"])


def test_preview_writes_a_sheet(paths, tmp_path, capsys):
    src, _, pipeline = paths
    sheet = str(tmp_path / "sheet.png")
    assert cli.main(["preview", src, "--pipeline", pipeline, "--samples", "2", "--copies", "2", "-o", sheet]) == 0
    with open(sheet, "rb") as f:
        assert f.read(4) == b"\x89PNG"


def test_python_dash_m_kiro_runs_the_command(tmp_path):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_coco(src, count=2)
    with open(str(tmp_path / "p.json"), "w") as f:
        json.dump([{"op": "hsv_transform", "fraction": 0.3}], f)
    # The kiro under test, whatever the working directory holds.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-m", "kiro", "multiply", src, dst, "--pipeline", str(tmp_path / "p.json"),
                           "--workers", "2", "--quiet"], env=env, cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "" and done.stderr == ""
    assert "annotations.json" in tree(dst)


def test_installed_console_script_runs():
    script = os.path.join(os.path.dirname(sys.executable), "kiro")
    if not os.path.isfile(script):
        pytest.skip("kiro is not installed beside this interpreter")
    done = subprocess.run([script, "multiply", "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "--copies" in done.stdout

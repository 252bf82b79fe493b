import os
import re

import pytest
import yaml

import kiro

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def _blocks(lang):
    with open(README, encoding="utf-8") as f:
        text = f.read()
    return re.findall(r"^```%s\n(.*?)^```" % lang, text, flags=re.S | re.M)


@pytest.mark.parametrize("index", range(len(_blocks("python"))))
def test_python_blocks_run_as_written(index, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a new user's folder: nothing of the repository around
    code = _blocks("python")[index]
    exec(compile(code, "README.md python block %d" % index, "exec"), {"__name__": "__readme__"})


@pytest.mark.parametrize("index", range(len(_blocks("yaml"))))
def test_yaml_blocks_are_pipelines(index):
    steps = yaml.safe_load(_blocks("yaml")[index])
    assert len(kiro.Pipeline(steps)) == len(steps)


def test_the_readme_has_code_to_run():
    assert len(_blocks("python")) >= 3 and _blocks("yaml")

import importlib
import importlib.machinery

import pytest

import kiro

# The operations and utilities; the pipeline layer (kiro.pipeline, kiro.polygons) is Python.
MODULES = sorted(m for m in set(kiro._EXPORTS.values()) if m.startswith(("kiro.core.", "kiro.utils.")))


@pytest.mark.parametrize("name", MODULES)
def test_module_is_a_compiled_extension(name):
    try:
        module = importlib.import_module(name)
    except ImportError:
        pytest.skip(name + " is not built")
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)

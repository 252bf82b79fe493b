"""The Ray engine, under its former module name (it lives in `engines`)."""

from .engines import _RaySample, kiro_import_dir, run_ray

__all__ = ["kiro_import_dir", "run_ray"]

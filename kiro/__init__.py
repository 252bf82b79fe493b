"""kiro: image augmentation for segmentation and keypoint (polygon) training data.

Every operation lives in its own compiled module (``kiro.core.<name>`` for the
operations and the option constants, ``kiro.utils.<name>`` for the utilities);
all of them are re-exported here, loaded on first use::

    import kiro
    record = kiro.belmost(record, prob=1.0, fit_method=kiro.FIT_MIX)
"""

import importlib

__version__ = "0.1.0"

_CONSTANTS = (
    "COPY_INTER", "COPY_MASK_EDGE", "COPY_IMAGE_EDGE", "COPY_RANDOM",
    "OCCLUSION_INTER", "OCCLUSION_EDGDE", "OCCLUSION_RANDOM",
    "FIT_PASTE", "FIT_NORMAL", "FIT_MIX", "FIT_MONO", "FIT_RANDOM",
    "WATERMARK_UPLEFT", "WATERMARK_UP", "WATERMARK_UPRIGHT", "WATERMARK_CENTER",
    "WATERMARK_DOWNLEFT", "WATERMARK_DOWN", "WATERMARK_DOWNRIGHT",
    "WATERMARK_RANDOM_ANCHOR", "WATERMARK_RANDOM_ALL",
    "LIGHT_LINEAR", "LIGHT_LOG",
    "DELETED_FILL_MEAN", "DELETED_FILL_RANDOM",
)

# public name -> module that defines it
_EXPORTS = dict.fromkeys(_CONSTANTS, "kiro.core.KirO")
_EXPORTS.update({
    "kp2mask": "kiro.utils.kp2mask",
    "mask2bbox": "kiro.utils.mask2bbox",
    "fill_in": "kiro.utils.fill_in",
    "caspen": "kiro.utils.caspen",
    "quarnet": "kiro.utils.quarnet",
    "faltor": "kiro.utils.faltor",
    "light_space_process": "kiro.utils.nuvaro",
    "generate_gaussian_map": "kiro.utils.halvex",
    "cal_sigma": "kiro.utils.halvex",
    "gaussian": "kiro.utils.halvex",
    "set_num_threads": "kiro.utils._threads",
    "get_num_threads": "kiro.utils._threads",
    "belmost": "kiro.core.belmost",
    "trevane": "kiro.core.trevane",
    "sigrel": "kiro.core.sigrel",
    "pandrik": "kiro.core.pandrik",
    "ostrim": "kiro.core.ostrim",
    "murtane": "kiro.core.murtane",
    "yelmot": "kiro.core.yelmot",
    "grellin": "kiro.core.grellin",
    "quendor": "kiro.core.quendor",
    "cabrol": "kiro.core.cabrol",
    "HorizontalLight": "kiro.core.cabrol",
    "fennick": "kiro.core.fennick",
    "VerticalLight": "kiro.core.fennick",
    "generate_noisy": "kiro.core.vorlat",
    "create_gaussian_mask": "kiro.core.vorlat",
    "denvik_transform": "kiro.core.denvik",
    "hsv_transform": "kiro.core.rimbel",
    "tremor_image": "kiro.core.tremor",
    "flip": "kiro.core.flip",
    "affine": "kiro.core.affine",
    "perspective": "kiro.core.perspective",
    "crop": "kiro.core.crop",
    "resize": "kiro.core.resize",
    "scale_jitter": "kiro.core.scale_jitter",
    "copy_paste": "kiro.core.copy_paste",
    "mosaic": "kiro.core.mosaic",
    "Pipeline": "kiro.pipeline",
    "PipelineError": "kiro.pipeline",
    "StepError": "kiro.pipeline",
    "DonorSkip": "kiro.pipeline",
    "pack_polygons": "kiro.polygons",
    "unpack_polygons": "kiro.polygons",
    "sample_seed": "kiro.polygons",
})

__all__ = sorted(_EXPORTS)


_SUBPACKAGES = ("core", "utils", "data", "pipeline", "polygons", "datasets")


def __getattr__(name):
    if name in _SUBPACKAGES:
        return importlib.import_module("kiro." + name)
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError("module 'kiro' has no attribute %r" % name)
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS) | set(_SUBPACKAGES))

"""Chains of operations applied to one sample: `kiro.Pipeline`.

A pipeline is a list of steps. A step is a mapping naming an operation and
its keyword arguments::

    {"op": "quendor", "angle": [-10, 10], "prob": 0.5}

optionally with ``p`` (the pipeline draws ``random.random()`` just before the
step and runs it only when the draw is below ``p``; an operation's own
``prob`` still applies). A group ``{"one_of": [step, ...], "weights": [...],
"p": ...}`` runs one of its steps, picked with ``random.choice`` (or
``random.choices`` with the weights). Option constants may be given by name
(``fit_method: FIT_MIX``).

Record operations take the whole record; image-only operations are applied
to ``record["image"]`` and `grellin` to ``record["mask"]``; on a bare image
only image-only operations and the geometric ones (flip, affine,
perspective, crop, resize, scale_jitter) can run.

The sample-mixing operations take other records, the donors:
``pipeline(sample, donors=source)``, where ``len(source)`` is the number of
donors and ``source[i]`` returns a fresh record (`kiro.datasets.open` gives
one). A `copy_paste` step that runs draws ``random.randrange(len(source))``
(after its ``p`` draw) and pastes from that donor; a `mosaic` step draws
three indices and its result replaces the sample (records without a mask
get one of ``mask_fill`` when another has one). A donor is loaded only
when the operation's own gate (``prob``) opens, which changes none of the
draws. A donor that fails to load (``source[i]`` raises) skips the step:
the sample is left as it was, the indices have been drawn, the operation
makes no draws, and the skip is appended to ``donor_skips`` (a list given
to the call) as a `DonorSkip`, or warned about (RuntimeWarning) without
one. Calling a pipeline that has such a step, even inside a one_of group,
without donors (or with none in them) raises `PipelineError` naming the
step, before any step runs.

Every step is checked when the pipeline is built: unknown operations,
unknown, missing or ill-typed arguments raise `PipelineError` naming the
step. A step that fails on a sample raises `StepError`, naming the step and
carrying the operation's exception as ``__cause__``; the record is then left
as that operation leaves it (the paste operations change nothing on an
error, the zoom and deletion operations may have replaced some entries, and
the steps before it have run).
"""

import collections
import importlib
import json
import numbers
import os
import random
import warnings

import numpy as np

__all__ = ["DonorSkip", "Pipeline", "PipelineError", "StepError"]


class PipelineError(ValueError):
    """A step of a pipeline description is wrong (raised when building)."""


class StepError(RuntimeError):
    """A step failed on a sample; ``__cause__`` is the operation's exception."""

    def __init__(self, message, step, op):
        super().__init__(message)
        self.step = step
        self.op = op


# A donor that failed to load: the step ("step 2 (copy_paste)"), the donor's
# index and the exception it raised.
DonorSkip = collections.namedtuple("DonorSkip", "step index error")


# ---- argument kinds ------------------------------------------------------------

class _Bad(Exception):
    pass


def _is_number(v):
    return isinstance(v, numbers.Real) and not isinstance(v, (bool, np.bool_))


def _number(v):
    if not _is_number(v):
        raise _Bad("a number, got %r" % (v,))
    return v


def _optional_number(v):
    return v if v is None else _number(v)


def _numbers(v, length=None):
    if not isinstance(v, (list, tuple)) or not all(_is_number(x) for x in v) or (
            length is not None and len(v) != length):
        what = "a list of %d numbers" % length if length else "a list of numbers"
        raise _Bad("%s, got %r" % (what, v))
    return v


def _pair(v):
    return _numbers(v, 2)


def _number_or_numbers(v):
    if _is_number(v):
        return v
    return _numbers(v)


def _optional_number_or_numbers(v):
    return v if v is None else _number_or_numbers(v)


def _number_or_pair(v):
    return v if v is None or _is_number(v) else _pair(v)


def _classes(v):
    if v is None or _is_number(v):
        return v
    if isinstance(v, (list, tuple)):
        return v
    raise _Bad("None, a class value or a list of them, got %r" % (v,))


def _optional_numbers(v):
    return v if v is None else _numbers(v)


def _flag(v):
    if isinstance(v, (bool, np.bool_)) or _is_number(v):
        return v
    raise _Bad("true or false, got %r" % (v,))


def _path_or_paths(v, optional):
    if v is None and optional:
        return v
    if isinstance(v, (str, os.PathLike, np.ndarray)):
        return v
    if isinstance(v, list) and v and all(isinstance(x, (str, os.PathLike)) for x in v):
        return v
    raise _Bad("%sa path, a wildcard pattern, a list of paths or an image array, got %r"
               % ("None, " if optional else "", v))


def _image_source(v):
    return _path_or_paths(v, True)


def _watermark(v):
    return _path_or_paths(v, False)


def _noise_kind(v):
    if v not in ("gauss", "s&p", "poisson", "speckle"):
        raise _Bad("one of 'gauss', 's&p', 'poisson', 'speckle', got %r" % (v,))
    return v


def _constant(prefix, allow_int=False):
    def check(v):
        from kiro.core import KirO

        names = [n for n in KirO.__all__ if n.startswith(prefix)]
        if isinstance(v, str) and v in names:
            return getattr(KirO, v)
        is_int = isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))
        for x in (getattr(KirO, n) for n in names):
            if (isinstance(x, str) and isinstance(v, str) and v == x) or (
                    is_int and isinstance(x, int) and v == x):
                return v
        if allow_int and is_int:
            return v
        raise _Bad("one of %s%s, got %r" % (", ".join(names), " or an integer" if allow_int else "", v))
    return check


def _word(*words):
    def check(v):
        if not isinstance(v, str) or v not in words:
            raise _Bad("one of %s, got %r" % (", ".join(repr(w) for w in words), v))
        return v
    return check


_interpolation = _word("nearest", "linear", "cubic")
_resize_interpolation = _word("nearest", "linear", "cubic", "area")


def _number_or_range(v):
    if _is_number(v):
        return v
    if isinstance(v, (list, tuple)) and len(v) == 2 and all(_is_number(x) for x in v) and v[0] <= v[1]:
        return v
    raise _Bad("a number or [min, max], got %r" % (v,))


def _positive_number_or_range(v):
    v = _number_or_range(v)
    if not min(v if isinstance(v, (list, tuple)) else [v]) > 0:
        raise _Bad("above 0, got %r" % (v,))
    return v


def _size(v):
    def positive_int(x):
        return isinstance(x, (int, np.integer)) and not isinstance(x, (bool, np.bool_)) and x > 0
    if positive_int(v) or (isinstance(v, (list, tuple)) and len(v) == 2 and all(positive_int(x) for x in v)):
        return v
    raise _Bad("a positive integer or [height, width], got %r" % (v,))


def _count(v):
    def count(x):
        return isinstance(x, (int, np.integer)) and not isinstance(x, (bool, np.bool_)) and x >= 0
    if v is None or count(v) or (isinstance(v, (list, tuple)) and len(v) == 2 and all(count(x) for x in v)
                                 and v[0] <= v[1]):
        return v
    raise _Bad("None, a non-negative integer or [min, max] of them, got %r" % (v,))


def _positive_number(v):
    if not _is_number(v) or not v > 0:
        raise _Bad("a number above 0, got %r" % (v,))
    return v


def _fraction_or_range(v):
    v = _number_or_range(v)
    if not all(0 <= x <= 1 for x in (v if isinstance(v, (list, tuple)) else [v])):
        raise _Bad("within [0, 1], got %r" % (v,))
    return v


def _visibility(v):
    if not _is_number(v) or not 0 <= v <= 1:
        raise _Bad("a number in [0, 1], got %r" % (v,))
    return v


# name -> (module, callable, target, {argument: check})
# target: "record" (whole record), "any" (a record or a bare image),
# "image" (record["image"]), "mask"
# (record["mask"]), "image-class" (an instance built once, its do(image)),
# "donor" (the record and one donor), "donors" (a list: the record and three donors).
_OPS = {
    "belmost": ("kiro.core.belmost", "belmost", "record", {
        "prob": _number, "cover_position": _constant("COPY_"), "fit_method": _constant("FIT_"),
        "image_source": _image_source, "bg_mask": _number, "size_ratio": _pair}),
    "trevane": ("kiro.core.trevane", "trevane", "record", {
        "prob": _number, "cover_position": _constant("OCCLUSION_"), "fit_method": _constant("FIT_"),
        "image_source": _image_source, "bg_mask": _number, "size_ratio": _pair}),
    "pandrik": ("kiro.core.pandrik", "pandrik", "record", {
        "bg_mask": _number, "prob": _number, "class_num": _classes,
        "padding": _optional_number_or_numbers, "constant_size": _flag}),
    "ostrim": ("kiro.core.ostrim", "ostrim", "record", {
        "bg_mask": _number, "prob": _number, "class_num": _classes,
        "padding": _optional_number_or_numbers, "constant_size": _flag}),
    "murtane": ("kiro.core.murtane", "murtane", "record", {
        "class_num": _classes, "bg_mask": _number, "prob": _number,
        "fill_type": _constant("DELETED_FILL_", allow_int=True)}),
    "yelmot": ("kiro.core.yelmot", "yelmot", "record", {
        "class_num": _classes, "bg_mask": _number, "prob": _number,
        "fill_type": _constant("DELETED_FILL_", allow_int=True)}),
    "quendor": ("kiro.core.quendor", "quendor", "record", {
        "angle": _number_or_pair, "prob": _number, "bg_mask": _number, "use_bbox": _flag}),
    "flip": ("kiro.core.flip", "flip", "any", {
        "prob": _number, "direction": _word("horizontal", "vertical", "both")}),
    "affine": ("kiro.core.affine", "affine", "any", {
        "prob": _number, "rotate": _number_or_range, "scale": _positive_number_or_range,
        "translate": _number_or_range, "shear": _number_or_range, "interpolation": _interpolation,
        "fill": _number_or_numbers, "mask_fill": _number, "min_area": _number, "min_visibility": _visibility}),
    "perspective": ("kiro.core.perspective", "perspective", "any", {
        "prob": _number, "distortion": _number_or_range, "interpolation": _interpolation,
        "fill": _number_or_numbers, "mask_fill": _number, "min_area": _number, "min_visibility": _visibility}),
    "crop": ("kiro.core.crop", "crop", "any", {
        "size": _size, "prob": _number, "position": _word("random", "center", "objects"),
        "fill": _number_or_numbers, "mask_fill": _number, "bg_mask": _number, "min_area": _number,
        "min_visibility": _visibility}),
    "resize": ("kiro.core.resize", "resize", "any", {
        "size": _size, "keep_ratio": _flag, "letterbox": _flag, "interpolation": _resize_interpolation,
        "fill": _number_or_numbers, "mask_fill": _number}),
    "scale_jitter": ("kiro.core.scale_jitter", "scale_jitter", "any", {
        "size": _size, "scale": _positive_number_or_range, "prob": _number, "fill": _number_or_numbers,
        "mask_fill": _number, "min_area": _number, "min_visibility": _visibility}),
    "copy_paste": ("kiro.core.copy_paste", "copy_paste", "donor", {
        "prob": _number, "objects": _count, "scale": _positive_number_or_range, "flip": _number,
        "blend": _word("hard", "gaussian", "seamless"), "sigma": _positive_number,
        "min_visibility": _visibility, "min_area": _number, "bg_mask": _number}),
    "mosaic": ("kiro.core.mosaic", "mosaic", "donors", {
        "size": _size, "prob": _number, "center": _fraction_or_range, "fill": _number_or_numbers,
        "mask_fill": _number, "min_area": _number, "min_visibility": _visibility}),
    "grellin": ("kiro.core.grellin", "grellin", "mask", {
        "class_list": _optional_numbers, "bg_mask": _number, "delete_thresh": _optional_number}),
    "sigrel": ("kiro.core.sigrel", "sigrel", "image", {
        "watermark": _watermark, "watermark_position": _constant("WATERMARK_"),
        "fit_method": _constant("FIT_"), "prob": _number, "size_ratio": _pair,
        "thresh": _optional_number}),
    "cabrol": ("kiro.core.cabrol", "cabrol", "image", {
        "prob": _number, "light_scale": _optional_number_or_numbers, "space_type": _constant("LIGHT_")}),
    "fennick": ("kiro.core.fennick", "fennick", "image", {
        "prob": _number, "light_scale": _optional_number_or_numbers, "space_type": _constant("LIGHT_")}),
    "HorizontalLight": ("kiro.core.cabrol", "HorizontalLight", "image-class", {
        "prob": _number, "space_type": _constant("LIGHT_"), "light_scale": _number_or_numbers}),
    "VerticalLight": ("kiro.core.fennick", "VerticalLight", "image-class", {
        "prob": _number, "space_type": _constant("LIGHT_"), "light_scale": _number_or_numbers}),
    "generate_noisy": ("kiro.core.vorlat", "generate_noisy", "image", {"noise_typ": _noise_kind}),
    "denvik_transform": ("kiro.core.denvik", "denvik_transform", "image", {"init_delta": _number}),
    "hsv_transform": ("kiro.core.rimbel", "hsv_transform", "image", {"fraction": _number}),
    "tremor_image": ("kiro.core.tremor", "tremor_image", "image", {
        "x": _optional_number, "y": _optional_number}),
}

# Arguments without a default.
_REQUIRED_ARGS = {"quendor": ("angle",), "sigrel": ("watermark",), "generate_noisy": ("noise_typ",),
                  "denvik_transform": ("init_delta",), "crop": ("size",), "resize": ("size",),
                  "scale_jitter": ("size",), "mosaic": ("size",)}

# Donors a step draws, and the default of the operation's gate.
_DONORS = {"copy_paste": (1, 0.5), "mosaic": (3, 1.0)}

OPERATIONS = tuple(sorted(_OPS))


def _plain(value):
    """A YAML/JSON-friendly copy: tuples become lists, NumPy scalars Python numbers."""
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    return value


def _probability(value, where):
    if not _is_number(value) or not 0 <= value <= 1:
        raise PipelineError("%s: p must be a number in [0, 1], got %r" % (where, value))
    return float(value)


# ---- steps ----------------------------------------------------------------------

class _Op:
    __slots__ = ("where", "name", "p", "run", "config", "donors", "gate")

    def __init__(self, step, where):
        step = dict(step)
        name = step.pop("op")
        if not isinstance(name, str) or name not in _OPS:
            raise PipelineError("%s: unknown operation %r (known: %s)" % (where, name, ", ".join(OPERATIONS)))
        self.where = "%s (%s)" % (where, name)
        self.name = name
        self.config = {"op": name}
        self.config.update(step)
        self.p = _probability(step.pop("p"), self.where) if "p" in step else None
        module, attr, target, params = _OPS[name]
        kwargs = {}
        for key, value in step.items():
            if not isinstance(key, str) or key not in params:
                raise PipelineError("%s: unknown argument %r (arguments: %s)"
                                    % (self.where, key, ", ".join(params) or "none"))
            try:
                kwargs[key] = params[key](value)
            except _Bad as e:
                raise PipelineError("%s: argument %r must be %s" % (self.where, key, e)) from None
        missing = [a for a in _REQUIRED_ARGS.get(name, ()) if a not in kwargs]
        if missing:
            raise PipelineError("%s: missing argument %s" % (self.where, ", ".join(repr(m) for m in missing)))
        self.donors, gate = _DONORS.get(name, (0, None))
        self.gate = kwargs.get("prob", gate)
        fn = getattr(importlib.import_module(module), attr)
        self.run = _runner(fn, target, kwargs, name)

    def donor_steps(self):
        return [self.where] if self.donors else []

    def __call__(self, sample, call):
        if self.p is not None and not random.random() < self.p:
            return sample
        try:
            if self.donors:
                return self._mix(sample, call)
            return self.run(sample)
        except Exception as e:
            raise StepError("%s failed: %s: %s" % (self.where, type(e).__name__, e), self.where, self.name) from e

    def _mix(self, sample, call):
        if isinstance(sample, np.ndarray):
            raise TypeError("%s needs a sample record (a dict with \"image\"), got %s"
                            % (self.name, type(sample).__name__))
        count = len(call.donors)
        indices = [random.randrange(count) for _ in range(self.donors)]
        if self.gate < 1:
            # The operation draws its gate first: when it stays closed, nothing needs loading.
            state = random.getstate()
            if not random.random() < self.gate:
                return sample
            random.setstate(state)
        loaded = []
        for i in indices:
            try:
                loaded.append(call.donors[i])
            except Exception as e:
                call.skip(DonorSkip(self.where, i, e))
                return sample
        return self.run(sample, loaded)


def _same_masks(records, fill):
    """Records without a mask get one of `fill` when another record has one; masks share one type.
    The donors changed are copies (the sample itself becomes the mosaic)."""
    masks = [r.get("mask") for r in records]
    present = [m for m in masks if m is not None]
    if not present or (len(present) == len(masks) and len({m.dtype for m in present}) == 1):
        return records
    dtype = np.result_type(*present)
    out = []
    for i, (record, mask) in enumerate(zip(records, masks)):
        if mask is None or mask.dtype != dtype:
            record = record if i == 0 else dict(record)
            record["mask"] = np.full(np.shape(record["image"])[:2], fill, dtype) if mask is None else mask.astype(dtype)
        out.append(record)
    return out


def _runner(fn, target, kwargs, name):
    def needs_record(sample):
        raise TypeError("%s needs a sample record (a dict with \"image\"), got %s"
                        % (name, type(sample).__name__))

    if target == "donor":
        def run(sample, donors):
            return fn(sample, donors[0], **kwargs)
    elif target == "donors":
        def run(sample, donors):
            records = [sample] + donors
            if all(isinstance(r, dict) and "image" in r for r in records):
                records = _same_masks(records, kwargs.get("mask_fill", 0))
            return fn(records, **kwargs)
    elif target == "any":
        def run(sample):
            return fn(sample, **kwargs)
    elif target == "record":
        def run(sample):
            if isinstance(sample, np.ndarray):
                needs_record(sample)
            return fn(sample, **kwargs)
    elif target == "mask":
        def run(sample):
            if isinstance(sample, np.ndarray):
                needs_record(sample)
            sample["mask"] = fn(sample["mask"], **kwargs)
            return sample
    else:
        if target == "image-class":
            apply = fn(**kwargs).do
        else:
            def apply(image):
                return fn(image, **kwargs)

        def run(sample):
            if isinstance(sample, np.ndarray):
                return apply(sample)
            sample["image"] = apply(sample["image"])
            return sample
    return run


class _OneOf:
    __slots__ = ("where", "p", "options", "weights", "config")

    def __init__(self, step, where):
        step = dict(step)
        self.where = where + " (one_of)"
        options = step.pop("one_of")
        weights = step.pop("weights", None)
        raw_p = step.get("p")
        self.p = _probability(step.pop("p"), self.where) if "p" in step else None
        if step:
            raise PipelineError("%s: unknown key %s (a one_of group takes one_of, weights, p)"
                                % (self.where, ", ".join(repr(k) for k in step)))
        if not isinstance(options, (list, tuple)) or not options:
            raise PipelineError("%s: one_of must be a non-empty list of steps" % self.where)
        self.options = [_build(s, "%s option %d" % (where, i)) for i, s in enumerate(options)]
        if weights is not None:
            if (not isinstance(weights, (list, tuple)) or len(weights) != len(options)
                    or not all(_is_number(w) and w >= 0 for w in weights) or not sum(weights) > 0):
                raise PipelineError("%s: weights must be %d non-negative numbers, not all 0, got %r"
                                    % (self.where, len(options), weights))
        self.config = {"one_of": [o.config for o in self.options]}
        if weights is not None:
            self.config["weights"] = list(weights)
            weights = [float(w) for w in weights]
        self.weights = weights
        if self.p is not None:
            self.config["p"] = raw_p

    def donor_steps(self):
        return [where for option in self.options for where in option.donor_steps()]

    def __call__(self, sample, call):
        if self.p is not None and not random.random() < self.p:
            return sample
        if self.weights is None:
            step = random.choice(self.options)
        else:
            step = random.choices(self.options, self.weights)[0]
        return step(sample, call)


def _build(step, where):
    if isinstance(step, str):
        step = {"op": step}
    if not isinstance(step, dict):
        raise PipelineError("%s: a step is a mapping with 'op' or 'one_of', got %r" % (where, step))
    if "one_of" in step:
        if "op" in step:
            raise PipelineError("%s: a step has either 'op' or 'one_of', not both" % where)
        return _OneOf(step, where)
    if "op" not in step:
        raise PipelineError("%s: a step needs 'op' (an operation name) or 'one_of'" % where)
    return _Op(step, where)


class _Call:
    """What one pipeline call hands its steps: the donors and where skips go."""
    __slots__ = ("donors", "skips")

    def __init__(self, donors, skips):
        self.donors, self.skips = donors, skips

    def skip(self, entry):
        if self.skips is None:
            warnings.warn("%s: donor %d skipped: %s: %s" % (entry.step, entry.index, type(entry.error).__name__,
                                                            entry.error), RuntimeWarning)
        else:
            self.skips.append(entry)


# ---- seeds ------------------------------------------------------------------------

def _seed_words(seed):
    """NumPy's legacy seed for `seed`: the integer itself below 2**32, else its 32-bit words (low first)."""
    if seed < 2 ** 32:
        return seed
    words = []
    while seed:
        words.append(seed & 0xFFFFFFFF)
        seed >>= 32
    return np.array(words, dtype=np.uint32)


class Pipeline:
    """Steps run in order on a sample record or a bare image.

    ``Pipeline(steps)`` checks every step at once (see the module help for the
    step format). ``pipeline(sample)`` runs the steps on `sample` and returns
    the record (updated in place, as the operations do) or the new image.
    ``pipeline(sample, seed=s)`` seeds ``random`` with `s` and NumPy's global
    generator with `s` (below 2**32) or its 32-bit words, low first, runs, and
    restores both generators' previous states, so the caller's streams go on
    untouched; this swaps process-wide state, so don't share one seeded call
    between threads. Without `seed` the global generators are used as they are.

    ``pipeline(sample, donors=source, donor_skips=skips)`` runs copy_paste and
    mosaic steps on donors from `source` (``len(source)`` and ``source[i]``, a
    fresh record each time); donors that fail to load are appended to the
    list `skips` as `DonorSkip` entries (see the module help).

    The caller's arrays are not copied first: operations that write in place
    (sigrel's FIT_PASTE into the image, the zooms into the keypoints) change
    the arrays of the record passed in. Pass a copy to keep the original.
    """

    def __init__(self, steps):
        if isinstance(steps, Pipeline):
            steps = steps.to_config()
        if isinstance(steps, dict) and "steps" in steps:
            steps = steps["steps"]
        if not isinstance(steps, (list, tuple)):
            raise PipelineError("a pipeline is a list of steps, got %s" % type(steps).__name__)
        self._steps = [_build(s, "step %d" % i) for i, s in enumerate(steps)]
        self._donor_steps = [where for step in self._steps for where in step.donor_steps()]

    @property
    def needs_donors(self):
        """Whether a step (copy_paste, mosaic) takes donors: ``pipeline(sample, donors=...)``."""
        return bool(self._donor_steps)

    @classmethod
    def from_config(cls, obj_or_path):
        """Pipeline from a list of steps (Python data) or a YAML / JSON file path."""
        if isinstance(obj_or_path, (str, os.PathLike)):
            path = os.fspath(obj_or_path)
            with open(path, "r", encoding="utf-8") as f:
                text = f.read()
            if path.lower().endswith(".json"):
                data = json.loads(text)
            else:
                import yaml

                data = yaml.safe_load(text)
            if data is None:
                data = []
            return cls(data)
        return cls(obj_or_path)

    def to_config(self):
        """The steps as plain data (lists, dicts, numbers, text), ready for YAML or JSON;
        ``Pipeline.from_config(p.to_config())`` builds the same pipeline."""
        return [_plain(s.config) for s in self._steps]

    def __len__(self):
        return len(self._steps)

    def __repr__(self):
        return "Pipeline(%r)" % (self.to_config(),)

    def __call__(self, sample, seed=None, donors=None, donor_skips=None):
        if self._donor_steps:
            if donors is None:
                raise PipelineError("%s needs donors: pipeline(sample, donors=...)" % self._donor_steps[0])
            try:
                empty = len(donors) == 0
            except TypeError:
                raise TypeError("donors must support len() and donors[i], got %s" % type(donors).__name__) from None
            if empty:
                raise PipelineError("%s needs donors: the donors given are empty" % self._donor_steps[0])
        call = _Call(donors, donor_skips)
        if seed is None:
            for step in self._steps:
                sample = step(sample, call)
            return sample
        if isinstance(seed, (bool, np.bool_)) or not isinstance(seed, (int, np.integer)) or seed < 0:
            raise ValueError("seed must be a non-negative integer, got %r" % (seed,))
        seed = int(seed)
        py_state = random.getstate()
        np_state = np.random.get_state()
        try:
            random.seed(seed)
            np.random.seed(_seed_words(seed))
            for step in self._steps:
                sample = step(sample, call)
            return sample
        finally:
            random.setstate(py_state)
            np.random.set_state(np_state)

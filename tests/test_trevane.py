import random

import numpy as np
import pytest

import kiro.core.KirO as K
from kiro.core.belmost import belmost
from kiro.core.trevane import trevane
from test_belmost import RATIO, SRC, light, masks, place


def test_size_ratio_not_type_checked(record):
    random.seed(1)
    assert trevane(record, 0, size_ratio=5) is record
    with pytest.raises(TypeError):
        trevane(record, 1.0, size_ratio=5)
    random.seed(1)
    out = trevane(dict(record), 1.0, K.OCCLUSION_RANDOM, K.FIT_PASTE, size_ratio={0: 0.2, 1: 0.3})["image"]
    assert out.shape == record["image"].shape


@pytest.mark.parametrize("op,defaults", [
    (belmost, (K.COPY_INTER, K.FIT_NORMAL, None, 0, (0.15625, 0.84375))),
    (trevane, (K.OCCLUSION_EDGDE, K.FIT_NORMAL, None, 0, (0.03125, 0.15625)))])
def test_defaults(op, defaults):
    image = np.random.RandomState(2).randint(0, 256, (200, 240, 3)).astype(np.uint8)
    mask = np.zeros((200, 240), np.uint8)
    mask[60:140, 80:170] = 1
    done = 0
    for seed in range(6):
        outs = []
        for args in [(), defaults]:
            random.seed(seed)
            rec = {"image": image, "mask": mask}
            try:
                outs.append(op(rec, 1.0, *args)["image"])
            except RuntimeError:  # OpenCV refused a thin or outlying clone area
                outs.append(None)
        assert (outs[0] is None) == (outs[1] is None)
        if outs[0] is not None:
            done += 1
            assert np.array_equal(outs[0], outs[1])
    assert done >= 3


@pytest.mark.parametrize("fit", [K.FIT_NORMAL, K.FIT_MIX, K.FIT_MONO])
def test_clone_stays_in_patch_and_covers_object(fit):
    image = np.random.RandomState(6).randint(0, 256, (100, 100, 3)).astype(np.uint8)
    mask = masks()["gap"]
    source = np.random.RandomState(7).randint(0, 256, (21, 21, 3)).astype(np.uint8)
    covered = 0
    for seed in range(10):
        random.seed(seed)
        out = trevane({"image": image, "mask": mask}, 1.0, K.OCCLUSION_INTER, fit, source, 0, RATIO)["image"]
        r = random.Random(seed)
        r.random(), r.randint(21, 21), light(r)
        x, y = place(r, K.OCCLUSION_INTER, mask, 21, 21)
        changed = (out != image).any(2)
        inside = np.zeros_like(changed)
        inside[y:y + 21, x:x + 21] = True
        assert changed.any() and not (changed & ~inside).any()
        covered += (changed & (mask != 0)).any()
    assert covered >= 5  # object pixels under the patch are not restored


@pytest.mark.parametrize("fit,error", [(K.FIT_PASTE, None), (K.FIT_NORMAL, ValueError)])
def test_wide_alpha_only_for_direct_paste(fit, error):
    rec = {"image": np.zeros((100, 100, 3), np.uint8), "mask": masks()["gap"]}
    alpha = np.full((21, 21), 300, np.uint16)
    alpha[:5] = 0
    source = np.dstack([SRC.astype(np.uint16) * 100, alpha])  # 20000: clipped to 255
    random.seed(3)
    if error:
        with pytest.raises(error, match="8-bit"):
            trevane(rec, 1.0, K.OCCLUSION_RANDOM, fit, source, 0, RATIO)
        assert not rec["image"].any()
    else:
        out = trevane(rec, 1.0, K.OCCLUSION_RANDOM, fit, source, 0, RATIO)["image"]
        assert out.any(2).sum() == 16 * 21 and set(np.unique(out)) == {0, 255}


@pytest.mark.parametrize("op", [belmost, trevane])
@pytest.mark.parametrize("shape", [(1, 30, 3), (30, 1, 3)])
@pytest.mark.parametrize("fit", [K.FIT_NORMAL, K.FIT_MIX, K.FIT_MONO])
def test_one_pixel_thin_patch_clones_to_the_image(op, shape, fit):
    # a clone box one pixel thin has no inside: the solve keeps the image
    rec = {"image": np.random.RandomState(4).randint(0, 256, (100, 100, 3)).astype(np.uint8),
           "mask": np.zeros((100, 100), np.uint8)}
    image = rec["image"]
    random.seed(5)
    out = op(rec, 1.0, image_source=np.full(shape, 9, np.uint8), size_ratio=(0.3, 0.3), fit_method=fit,
             cover_position=K.COPY_RANDOM if op is belmost else K.OCCLUSION_RANDOM)["image"]
    assert out is not image and np.array_equal(out, image)

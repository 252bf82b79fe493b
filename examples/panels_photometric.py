"""Photometric operations on the sample: sensor noise, night darkening,
saturation/value jitter and shake. Labels do not change; polygons are
outlined so the image itself stays visible."""

from demo_util import overlay

import kiro


def panels(sample):
    image, keypoints = sample["image"], sample["keypoints"]

    def show(result):
        return overlay({"image": result, "keypoints": keypoints})

    out = []
    for kind in ("gauss", "s&p", "poisson", "speckle"):
        out.append(("generate_noisy %s" % kind, show(kiro.generate_noisy(image, kind))))
    out.append(("denvik_transform (init_delta 80)", show(kiro.denvik_transform(image, 80))))
    out.append(("hsv_transform (fraction 0.5)", show(kiro.hsv_transform(image, 0.5))))
    out.append(("hsv_transform (fraction 0.9)", show(kiro.hsv_transform(image, 0.9))))
    out.append(("tremor_image (drawn shift)", show(kiro.tremor_image(image))))
    out.append(("tremor_image (x 12, y 8)", show(kiro.tremor_image(image, 12, 8))))
    return out

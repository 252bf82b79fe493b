"""Brightness ramps on the sample: per column (cabrol) and per row (fennick),
linear and logarithmic runs. Labels do not change; polygons are outlined so
the image itself stays visible."""

from demo_util import overlay

from kiro.core.cabrol import cabrol
from kiro.core.fennick import fennick
from kiro.core.KirO import LIGHT_LINEAR, LIGHT_LOG


def panels(sample):
    image, keypoints = sample["image"], sample["keypoints"]

    def show(result):
        return overlay({"image": result, "keypoints": keypoints})

    return [
        ("cabrol linear (-90 .. 90)", show(cabrol(image, 1.0, 90, LIGHT_LINEAR))),
        ("cabrol log (scale 8)", show(cabrol(image, 1.0, 8, LIGHT_LOG))),
        ("cabrol linear (drawn scale)", show(cabrol(image, 1.0))),
        ("fennick linear (90 .. -90)", show(fennick(image, 1.0, -90, LIGHT_LINEAR))),
        ("fennick log (scale -8)", show(fennick(image, 1.0, -8, LIGHT_LOG))),
        ("fennick log (pair 0 .. 2.2)", show(fennick(image, 1.0, (0, 2.2), LIGHT_LOG))),
    ]

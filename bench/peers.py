"""The closest albumentations transform to a kiro call, where one exists.

Each function returns (name, callable) or (\"\", None) when albumentations is missing."""

import warnings

try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import albumentations as A
except ImportError:  # bench extra not installed
    A = None


def _peer(name, make):
    if A is None:
        return "", None
    return "albumentations " + name, make()


def hsv(image):
    def make():
        t = A.HueSaturationValue(hue_shift_limit=0, sat_shift_limit=50, val_shift_limit=50, p=1)
        return lambda: t(image=image)
    return _peer("HueSaturationValue", make)


def gauss_noise(image):
    def make():
        t = A.GaussNoise(std_range=(0.316, 0.316), p=1)
        return lambda: t(image=image)
    return _peer("GaussNoise", make)


def rotate(image, mask, angle):
    def make():
        t = A.Rotate(limit=(angle, angle), border_mode=0, p=1)
        return lambda: t(image=image, mask=mask)
    return _peer("Rotate (image, mask)", make)


def motion_blur(image):
    def make():
        t = A.MotionBlur(blur_limit=(7, 7), p=1)
        return lambda: t(image=image)
    return _peer("MotionBlur", make)


def crop_resize(image, mask, rect, size):
    def make():
        top, left, h, w = rect
        t = A.Compose([A.Crop(x_min=left, y_min=top, x_max=left + w, y_max=top + h),
                       A.Resize(height=size[0], width=size[1], interpolation=2)])
        return lambda: t(image=image, mask=mask)
    return _peer("Crop + Resize (image, mask)", make)

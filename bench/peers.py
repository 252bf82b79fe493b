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


NEAREST_EXACT = 6  # cv2.INTER_NEAREST_EXACT: kiro resizes masks by the source pixel under each centre


def _geometry(name, transforms, image, mask, keypoints, fresh):
    """(name, callable) of A.Compose(transforms) on image and mask, with the
    polygon vertices (an N x 2 array) as keypoints when given (all kept:
    vertices outside the image are valid polygon corners); `fresh` copies the
    inputs inside each call, as a data loader hands over new arrays."""
    def make():
        kp = {} if keypoints is None else {
            "keypoint_params": A.KeypointParams(format="xy", remove_invisible=False)}
        t = A.Compose(transforms(), **kp)
        if fresh:
            if keypoints is None:
                return lambda: t(image=image.copy(), mask=mask.copy())
            return lambda: t(image=image.copy(), mask=mask.copy(), keypoints=keypoints.copy())
        if keypoints is None:
            return lambda: t(image=image, mask=mask)
        return lambda: t(image=image, mask=mask, keypoints=keypoints)
    label = name + (" (image, mask, keypoints)" if keypoints is not None else " (image, mask)")
    return _peer(label, make)


def hflip(image, mask, keypoints=None, fresh=False):
    return _geometry("HorizontalFlip", lambda: [A.HorizontalFlip(p=1)], image, mask, keypoints, fresh)


def affine(image, mask, rotate, scale, translate, shear, keypoints=None, fresh=False):
    def transforms():
        return [A.Affine(rotate=(rotate, rotate), scale=(scale, scale),
                         translate_percent={"x": (translate, translate), "y": (translate, translate)},
                         shear={"x": (shear, shear), "y": (shear, shear)}, interpolation=1,
                         mask_interpolation=0, border_mode=0, fill=0, fill_mask=0, p=1)]
    return _geometry("Affine", transforms, image, mask, keypoints, fresh)


def perspective(image, mask, distortion, keypoints=None, fresh=False):
    def transforms():
        return [A.Perspective(scale=(distortion, distortion), keep_size=True, fit_output=False, interpolation=1,
                              mask_interpolation=0, border_mode=0, fill=0, fill_mask=0, p=1)]
    return _geometry("Perspective", transforms, image, mask, keypoints, fresh)


def random_crop(image, mask, size, keypoints=None, fresh=False):
    """A random window; one larger than the image is padded at a random place."""
    pad = size[0] > image.shape[0] or size[1] > image.shape[1]
    def transforms():
        return [A.RandomCrop(height=size[0], width=size[1], pad_if_needed=pad, pad_position="random",
                             border_mode=0, fill=0, fill_mask=0, p=1)]
    return _geometry("RandomCrop" + (" pad_if_needed" if pad else ""), transforms, image, mask, keypoints, fresh)


def letterbox(image, mask, size, keypoints=None, fresh=False):
    def transforms():
        return [A.LongestMaxSize(max_size=max(size), interpolation=1, mask_interpolation=NEAREST_EXACT, p=1),
                A.PadIfNeeded(min_height=size[0], min_width=size[1], position="center", border_mode=0,
                              fill=0, fill_mask=0, p=1)]
    return _geometry("LongestMaxSize + PadIfNeeded", transforms, image, mask, keypoints, fresh)


def resize(image, mask, size, keypoints=None, fresh=False):
    return _geometry("Resize", lambda: [A.Resize(height=size[0], width=size[1], interpolation=1,
                                                 mask_interpolation=NEAREST_EXACT, p=1)],
                     image, mask, keypoints, fresh)


def scale_jitter(image, mask, size, longer, keypoints=None, fresh=False):
    """Longer side to `longer`, padded bottom and right to at least `size`, then
    a random `size` window: the same work as one fixed-scale jitter."""
    def transforms():
        return [A.LongestMaxSize(max_size=longer, interpolation=1, mask_interpolation=NEAREST_EXACT, p=1),
                A.PadIfNeeded(min_height=size[0], min_width=size[1], position="top_left", border_mode=0,
                              fill=0, fill_mask=0, p=1),
                A.RandomCrop(height=size[0], width=size[1], p=1)]
    return _geometry("LongestMaxSize + PadIfNeeded + RandomCrop", transforms, image, mask, keypoints, fresh)


def mosaic(images, masks, keypoints, size, cell, center_range):
    """A.Mosaic of four images with their masks (the first the primary, the
    others passed as mosaic_metadata) and, when given, polygon vertices
    (N x 2 arrays, one per image) as keypoints, all kept."""
    def make():
        kp = {} if keypoints is None else {
            "keypoint_params": A.KeypointParams(format="xy", remove_invisible=False)}
        t = A.Compose([A.Mosaic(grid_yx=(2, 2), target_size=size, cell_shape=cell, center_range=center_range,
                                fit_mode="cover", interpolation=1, mask_interpolation=NEAREST_EXACT, fill=0,
                                fill_mask=0, p=1)], **kp)
        items = [{"image": i, "mask": m} for i, m in zip(images, masks)]
        if keypoints is not None:
            for item, k in zip(items, keypoints):
                item["keypoints"] = k
        first, rest = items[0], items[1:]
        return lambda: t(**first, mosaic_metadata=rest)
    label = "Mosaic cell %d x %d" % cell + (" (image, mask, keypoints)" if keypoints is not None else " (image, mask)")
    return _peer(label, make)

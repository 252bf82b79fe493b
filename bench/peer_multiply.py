"""The multiply job as a user would write it with albumentations on opencv-python.

Reads a COCO set, rasterises each instance, runs Rotate + HueSaturationValue +
GaussNoise (p 0.5) on image and masks, traces the masks back to polygons,
writes every copy (JPEG 95 or PNG) and one JSON; a multiprocessing.Pool.
    python3 bench/peer_multiply.py SRC DST [--copies 2] [--workers 2] [--image-format jpg|png]
"""

import argparse
import json
import multiprocessing
import os
import time

import albumentations as A
import cv2
import numpy as np

SRC = DST = FMT = None
COPIES = 2
TRANSFORM = None


def init(src, dst, fmt, copies):
    global SRC, DST, FMT, COPIES, TRANSFORM
    SRC, DST, FMT, COPIES = src, dst, fmt, copies
    cv2.setNumThreads(1)
    TRANSFORM = A.Compose([
        A.Rotate(limit=10, border_mode=cv2.BORDER_CONSTANT, p=1.0),
        A.HueSaturationValue(hue_shift_limit=9, sat_shift_limit=30, val_shift_limit=30, p=1.0),
        A.GaussNoise(std_range=(0.316, 0.316), p=0.5),
    ])


def process(item):
    """Copies of one image: (image records, annotation records) without ids."""
    info, anns, index = item
    image = cv2.imread(os.path.join(SRC, "images", info["file_name"]), cv2.IMREAD_COLOR)
    h, w = image.shape[:2]
    masks = []
    for ann in anns:
        mask = np.zeros((h, w), np.uint8)
        for seg in ann["segmentation"]:
            cv2.fillPoly(mask, [np.round(np.array(seg).reshape(-1, 2)).astype(np.int32)], 1)
        masks.append(mask)
    images, out_anns = [], []
    for k in range(COPIES):
        TRANSFORM.set_random_seed(index * 1000 + k)
        res = TRANSFORM(image=image, masks=masks)
        name = "%s_k%d.%s" % (os.path.splitext(info["file_name"])[0], k, FMT)
        params = [cv2.IMWRITE_JPEG_QUALITY, 95] if FMT == "jpg" else []
        cv2.imwrite(os.path.join(DST, "images", name), res["image"], params)
        images.append({"file_name": name, "width": w, "height": h})
        objects = []
        for ann, mask in zip(anns, res["masks"]):
            contours, _ = cv2.findContours(np.ascontiguousarray(mask), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
            segs = [c.reshape(-1).astype(float).tolist() for c in contours if len(c) >= 3]
            if not segs:
                continue
            x, y, bw, bh = cv2.boundingRect(np.concatenate(contours))
            objects.append({"category_id": ann["category_id"], "segmentation": segs, "iscrowd": 0,
                            "area": float(mask.sum()), "bbox": [x, y, bw, bh]})
        out_anns.append(objects)
    return images, out_anns


def run(src, dst, copies=2, workers=2, image_format="jpg"):
    """Run the job; returns the number of source images."""
    with open(os.path.join(src, "annotations.json")) as f:
        data = json.load(f)
    by_image = {}
    for ann in data["annotations"]:
        by_image.setdefault(ann["image_id"], []).append(ann)
    items = [(info, by_image.get(info["id"], []), i) for i, info in enumerate(data["images"])]
    os.makedirs(os.path.join(dst, "images"), exist_ok=True)
    images, anns = [], []
    with multiprocessing.Pool(workers, initializer=init, initargs=(src, dst, image_format, copies)) as pool:
        for imgs, objs in pool.imap(process, items, chunksize=1):
            for img, objects in zip(imgs, objs):
                img["id"] = len(images) + 1
                images.append(img)
                for obj in objects:
                    anns.append(dict(obj, id=len(anns) + 1, image_id=img["id"]))
    with open(os.path.join(dst, "annotations.json"), "w") as f:
        json.dump({"images": images, "annotations": anns, "categories": data["categories"]}, f)
    return len(items)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("src")
    parser.add_argument("dst")
    parser.add_argument("--copies", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--image-format", choices=("jpg", "png"), default="jpg")
    args = parser.parse_args()
    start = time.perf_counter()
    n = run(args.src, args.dst, args.copies, args.workers, args.image_format)
    print("%d samples in %.2f s" % (n, time.perf_counter() - start))


if __name__ == "__main__":
    main()

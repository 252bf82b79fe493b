"""A kiro pipeline with copy-paste inside PyTorch DataLoader workers.

    python examples/torch_dataloader.py              # the bundled sample
    python examples/torch_dataloader.py data/train   # a coco, yolo or masks data set

kiro draws from Python's `random` and NumPy's global generator. PyTorch's
DataLoader seeds both in every worker process from a base seed that it takes
from torch's own generator (`random.seed(base + worker_id)`, NumPy from
`(base, worker_id)`), so:

- `torch.manual_seed(s)` before creating the loader's iterator makes a whole
  epoch reproducible, and
- the workers' streams differ, so two workers never produce the same copies.

The copy-paste step takes its donors from the data set: the Dataset reads its
samples through `kiro.datasets.open(src)`, a lazy source (`len()` and a fresh
record per index, cheap to send to the workers), and gives that same source to
the pipeline as `donors`, so every worker reads the donors it draws itself.
The donors are the source's plain records, not the Dataset's items: those are
augmented tensors, and a donor that were itself augmented would draw donors
of its own.

Each worker also calls `kiro.set_num_threads(1)`: the loader already runs one
sample per process, and OpenCV's own thread pool would only compete with it.
To reproduce one sample outside the loader whatever the worker layout, pass
`seed=kiro.sample_seed(base, index)` to the pipeline instead.
"""

import sys

import numpy as np
import torch
from torch.utils.data import DataLoader, Dataset

import kiro
import kiro.data
import kiro.datasets

COPY_PASTE = {"op": "copy_paste", "prob": 0.5, "objects": [1, 2], "scale": [0.5, 1.0], "blend": "gaussian",
              "sigma": 1.5}
# For any data set: no step that needs a mask or polygons.
DATASET_STEPS = [COPY_PASTE, {"op": "flip", "prob": 0.5}, {"op": "hsv_transform", "fraction": 0.2, "p": 0.8}]


class BundledSample:
    """The bundled sample `count` times, as a source: `len()` and a fresh record per index."""

    def __init__(self, count):
        self.count = count

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        if not 0 <= index < self.count:
            raise IndexError(index)
        record = kiro.data.load_sample()
        record["labels"] = [1, 2, 3]  # its polygons' classes: head, patch, shuttle
        return record


class AugmentedSamples(Dataset):
    """Records of `source` augmented by `pipeline` on every access, with `source` as the donors."""

    def __init__(self, source, pipeline):
        self.source = source
        self.pipeline = pipeline

    def __len__(self):
        return len(self.source)

    def __getitem__(self, index):
        record = self.pipeline(self.source[index], donors=self.source)
        image = np.ascontiguousarray(record["image"])
        image = torch.from_numpy(image[:, :, None] if image.ndim == 2 else image).permute(2, 0, 1)
        target = {}
        if "mask" in record:
            target["mask"] = torch.from_numpy(np.ascontiguousarray(record["mask"]))
        if "keypoints" in record:
            polygons, labels = kiro.unpack_polygons(record["keypoints"], record["labels"], drop_degenerate=True)
            target["polygons"] = [torch.from_numpy(np.asarray(p, np.float64)) for p in polygons]
            target["labels"] = list(labels)
        return image, target


def worker_init_fn(worker_id):
    kiro.set_num_threads(1)


def make_loader(source, pipeline, num_workers=2):
    return DataLoader(AugmentedSamples(source, pipeline), batch_size=None, shuffle=False,
                      num_workers=num_workers, worker_init_fn=worker_init_fn)


def bundled_pipeline():
    """Copy-paste, then the bundled pipeline.yaml."""
    steps = kiro.Pipeline.from_config(kiro.data.path("pipeline.yaml")).to_config()
    return kiro.Pipeline([COPY_PASTE] + steps)


def run(seed, copies=4, num_workers=2, src=None):
    """Images of the augmented samples after torch.manual_seed(seed): `copies` of the
    bundled sample, or every sample of the data set `src`."""
    if src is None:
        source, pipeline = BundledSample(copies), bundled_pipeline()
    else:
        source, pipeline = kiro.datasets.open(src), kiro.Pipeline(DATASET_STEPS)
    torch.manual_seed(seed)
    return [image.numpy() for image, _ in make_loader(source, pipeline, num_workers)]


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    src = argv[0] if argv else None
    first = run(seed=0, src=src)
    second = run(seed=0, src=src)
    same = all(np.array_equal(a, b) for a, b in zip(first, second))
    text = "%d samples; same seed, same samples: %s" % (len(first), same)
    if src is None:  # copies of one sample: the workers' streams make them differ
        text += "; workers differ: %s" % (not np.array_equal(first[0], first[1]))
    print(text)


if __name__ == "__main__":
    main()

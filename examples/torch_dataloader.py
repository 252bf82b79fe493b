"""A kiro pipeline inside PyTorch DataLoader workers.

    python examples/torch_dataloader.py

kiro draws from Python's `random` and NumPy's global generator. PyTorch's
DataLoader seeds both in every worker process from a base seed that it takes
from torch's own generator (`random.seed(base + worker_id)`, NumPy from
`(base, worker_id)`), so:

- `torch.manual_seed(s)` before creating the loader's iterator makes a whole
  epoch reproducible, and
- the workers' streams differ, so two workers never produce the same copies.

Each worker also calls `kiro.set_num_threads(1)`: the loader already runs one
sample per process, and OpenCV's own thread pool would only compete with it.
To reproduce one sample outside the loader whatever the worker layout, pass
`seed=kiro.sample_seed(base, index)` to the pipeline instead.
"""

import copy

import numpy as np
import torch
from torch.utils.data import DataLoader, Dataset

import kiro
import kiro.data


class AugmentedSamples(Dataset):
    """`records` augmented by `pipeline` on every access."""

    def __init__(self, records, pipeline):
        self.records = records
        self.pipeline = pipeline

    def __len__(self):
        return len(self.records)

    def __getitem__(self, index):
        record = self.pipeline(copy.deepcopy(self.records[index]))
        image = torch.from_numpy(np.ascontiguousarray(record["image"])).permute(2, 0, 1)
        mask = torch.from_numpy(np.ascontiguousarray(record["mask"]))
        return image, mask


def worker_init_fn(worker_id):
    kiro.set_num_threads(1)


def make_loader(records, pipeline, num_workers=2):
    return DataLoader(AugmentedSamples(records, pipeline), batch_size=None, shuffle=False,
                      num_workers=num_workers, worker_init_fn=worker_init_fn)


def run(seed, copies=4, num_workers=2):
    """Images of `copies` augmented copies of the bundled sample after torch.manual_seed(seed)."""
    pipeline = kiro.Pipeline.from_config(kiro.data.path("pipeline.yaml"))
    records = [kiro.data.load_sample() for _ in range(copies)]
    torch.manual_seed(seed)
    return [image.numpy() for image, _ in make_loader(records, pipeline, num_workers)]


def main():
    first = run(seed=0)
    second = run(seed=0)
    same = all(np.array_equal(a, b) for a, b in zip(first, second))
    print("%d samples; same seed, same samples: %s; workers differ: %s"
          % (len(first), same, not np.array_equal(first[0], first[1])))


if __name__ == "__main__":
    main()

"""A data set as a lazy sequence of sample records: `kiro.datasets.open`."""

import operator

from .formats import make_format


class Source:
    """The samples of a data set by index, each read when it is asked for.

    ``len(source)`` is the number of samples, in the order `kiro.datasets.load`
    gives them; ``source[i]`` reads sample i and returns a fresh record every
    time, or raises `SampleError` for a sample that cannot be used. That makes
    a source the ``donors`` of a pipeline. A pickled source holds only SRC,
    the format and the annotation file: where it is unpickled (a DataLoader
    worker, a worker process) it lists SRC again on first use, and refuses a
    data set whose number of samples changed meanwhile.
    """

    def __init__(self, src, format="auto", annotations=None, keep_grey=False, layout=None):
        self._fmt = make_format(format, src, annotations, keep_grey, layout)
        self._refs = self._count = None
        self._scan()

    @classmethod
    def _lazy(cls, src, format, annotations=None, count=None, keep_grey=False, layout=None):
        """A source that lists SRC only when first used."""
        self = cls.__new__(cls)
        self._fmt = make_format(format, src, annotations, keep_grey, layout)
        self._refs, self._count = None, count
        return self

    @classmethod
    def _of(cls, fmt, refs):
        """A source over a format already scanned."""
        self = cls.__new__(cls)
        self._fmt, self._refs, self._count = fmt, list(refs), len(refs)
        return self

    @property
    def src(self):
        return self._fmt.src

    @property
    def format(self):
        return self._fmt.name

    def _scan(self):
        refs, _ = self._fmt.scan()
        if self._count is not None and len(refs) != self._count:
            raise RuntimeError("%s has %d samples now, %d when it was opened" % (self.src, len(refs), self._count))
        self._refs, self._count = refs, len(refs)

    def __len__(self):
        if self._count is None:
            self._scan()
        return self._count

    def _ref(self, index):
        index = operator.index(index)
        count = len(self)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError("sample %d of %d" % (index, count))
        if self._refs is None:
            self._scan()
        return self._refs[index]

    def __getitem__(self, index):
        return self._fmt.read(self._ref(index))

    def name(self, index):
        """Sample `index`'s image path under SRC (or its name when it has no image)."""
        ref = self._ref(index)
        return ref.get("image") or ref["name"]

    def __getstate__(self):
        return {"src": self._fmt.src, "format": self._fmt.name, "annotations": self._fmt.annotations,
                "count": self._count, "keep_grey": self._fmt.keep_grey,
                "layout": getattr(self._fmt, "layout", None)}

    def __setstate__(self, state):
        self._fmt = make_format(state["format"], state["src"], state["annotations"], state.get("keep_grey", False),
                                state.get("layout"))
        self._refs, self._count = None, state["count"]

    def __repr__(self):
        return "kiro.datasets.open(%r, format=%r)" % (self.src, self.format)


class Donors:
    """A source as the donors of the copies one worker makes.

    Each load is donor number 1, 2, ... of the current copy (`start` begins a
    copy), and the format keeps that load's objects apart from the sample's
    own and from other loads of the same image.
    """

    def __init__(self, source):
        self.source = source
        self.loads = 0

    def start(self):
        self.loads = 0

    def __len__(self):
        return len(self.source)

    def __getitem__(self, index):
        record = self.source[index]
        self.loads += 1
        return self.source._fmt.donor(record, self.loads)

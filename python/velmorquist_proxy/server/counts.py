"""The server's own counts: one array of doubles per process, each series at
an offset fixed when the server starts (its configured models and providers
are all the label values there are), so counting a request is a few
additions at known places instead of a call into a metrics library per
figure.

With workers, each worker's array is a file of its own in a folder they
share, mapped into memory; a scrape answered by any worker adds up every
file, those of workers that died included, so no count ever goes back."""

from __future__ import annotations

import mmap
import os
from array import array

_CELL = 8   # bytes per count: a double, as Prometheus counts


class Layout:
    """Hands out the offsets of series, in order."""

    def __init__(self):
        self.size = 0

    def reserve(self, cells: int) -> int:
        at = self.size
        self.size += cells
        return at


class Counts:
    """`cells` (a memoryview of doubles) holds this process's counts."""

    def __init__(self, size: int, folder: str | None = None):
        self._size = size
        self._folder = folder
        self._name = None
        if folder is None:
            buffer = bytearray(size * _CELL)
        else:
            # The pid names the worker; the random part keeps a reused pid
            # from taking over a dead worker's counts.
            self._name = f"counts-{os.getpid()}-{os.urandom(4).hex()}"
            descriptor = os.open(os.path.join(folder, self._name),
                                 os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
            try:
                os.ftruncate(descriptor, size * _CELL)
                buffer = mmap.mmap(descriptor, size * _CELL)
            finally:
                os.close(descriptor)
        self.cells = memoryview(buffer).cast("d")

    def totals(self) -> array:
        """This process's counts plus those of every other worker's file."""
        totals = array("d", self.cells)
        if self._folder is None:
            return totals
        for name in os.listdir(self._folder):
            if name == self._name or not name.startswith("counts-"):
                continue
            try:
                with open(os.path.join(self._folder, name), "rb") as file:
                    data = file.read()
            except OSError:
                continue   # removed meanwhile
            if len(data) != self._size * _CELL:
                continue   # not one of this server's workers
            other = array("d")
            other.frombytes(data)
            for i, value in enumerate(other):
                if value:
                    totals[i] += value
        return totals

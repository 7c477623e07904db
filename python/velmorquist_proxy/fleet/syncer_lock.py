"""Which process of a host is its fleet syncer.

A host region's processes take turns: the one holding an exclusive lock on
`<path>.syncer` syncs, the others try again every second, and the kernel
drops the lock when its holder dies. A one-process host always holds its
own lock, so the syncer runs the same code either way.
"""

from __future__ import annotations

import fcntl
import os


class SyncerLock:
    """An exclusive lock on `<path>.syncer`, never waited for. The kernel
    drops it when its holder exits or dies."""

    shared = True

    def __init__(self, region_path: str):
        self.path = region_path + ".syncer"
        self._fd: int | None = None

    @property
    def held(self) -> bool:
        return self._fd is not None

    def try_take(self) -> bool:
        """True when this call took the lock."""
        if self._fd is not None:
            return False
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            return False
        self._fd = fd
        return True

    def release(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def after_fork_in_child(self) -> None:
        """A forked child shares its parent's lock until it closes its copy
        of the descriptor; closing it leaves the parent holding the lock."""
        self.release()


class PrivateLock:
    """The syncer lock of a one-process host: nobody else could hold it."""

    shared = False
    held = True

    def try_take(self) -> bool:
        return False

    def release(self) -> None:
        pass

    def after_fork_in_child(self) -> None:
        pass

"""Memory for blocks on their way to the service, within one bound."""
import os
import threading


class BlockMemory:
    """Buffers for blocks on their way to the service.  Together they stay
    within a limit (taking more waits until blocks are given back), and a buffer
    given back serves again: a fresh one costs a page fault per page."""

    def __init__(self, limit):
        self._limit = limit
        self._used = 0
        self._free = []
        self._changed = threading.Condition()

    def read(self, path):
        """A buffer holding the file's content, and a view of that content."""
        with open(path, "rb", buffering=0) as data:
            size = os.fstat(data.fileno()).st_size
            buffer = self._take(size)
            try:
                view = memoryview(buffer)
                filled = 0
                while filled < size and (count := data.readinto(view[filled:size])):
                    filled += count
            except BaseException:
                self.give(buffer)
                raise
        return buffer, view[:filled]

    def _take(self, size):
        with self._changed:
            self._changed.wait_for(lambda: self._used + self._charge(size) <= self._limit)
            self._used += self._charge(size)
            for index, buffer in enumerate(self._free):
                if len(buffer) >= size:
                    return self._free.pop(index)
            self._free.clear()  # sized for other blocks: let them go rather than hold both
        return bytearray(size)

    def give(self, buffer):
        with self._changed:
            self._used -= self._charge(len(buffer))
            if self._used + sum(map(len, self._free)) + len(buffer) <= self._limit:
                self._free.append(buffer)
            self._changed.notify_all()

    def _charge(self, size):
        # A block larger than the whole limit may still pass, alone.
        return min(size, self._limit)

"""Threads that carry the agent's work ahead of the plug-in's requests."""
import threading
from concurrent.futures import Future, ThreadPoolExecutor, wait


def started_pool(workers):
    """A thread pool whose threads all run already: one started while the
    streams are busy waits for the interpreter lock, and so would the answer
    that started it."""
    pool = ThreadPoolExecutor(max_workers=workers)
    # Each task holds its thread until all are held, so every thread must start.
    everyone = threading.Barrier(workers, timeout=5)
    wait([pool.submit(everyone.wait) for _ in range(workers)])
    return pool


def when_all_done(futures, action):
    """Runs action once every one of the futures is done or cancelled."""
    left = [len(futures)]
    lock = threading.Lock()

    def one_done(_):
        with lock:
            left[0] -= 1
            last = left[0] == 0
        if last:
            action()

    for future in futures:
        future.add_done_callback(one_done)


def done(value):
    """A future that already holds value, to stand beside fetches still running."""
    future = Future()
    future.set_result(value)
    return future


def failure_of(future):
    """The exception a finished future ended with; None for a result or a cancellation."""
    return None if future.cancelled() else future.exception()

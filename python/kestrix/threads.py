"""thread_create and its companions for Python functions. A C thread runs a C
function; here the function is any Python callable without arguments, run
on a Python thread with the same rules as the C handles."""
import threading

from . import _kestrix


class thread:
    """A thread handle from thread_create()."""

    __slots__ = ("_function", "_running", "_lock")

    def __init__(self, function):
        self._function = function
        self._running = None
        self._lock = threading.Lock()

    def __repr__(self):
        return f"<kestrix.thread of {self._function!r}>"


def _check(t):
    if not isinstance(t, thread):
        raise TypeError(f"expected a kestrix.thread, got {type(t).__name__}")


def thread_create(func) -> thread:
    if not callable(func):
        raise TypeError(f"thread_create() needs a function, got {type(func).__name__}")
    return thread(func)


def thread_start(t: thread) -> None:
    _check(t)
    with t._lock:
        if t._running is not None and t._running.is_alive():
            return
        if t._function is None:
            return
        t._running = threading.Thread(target=t._function, daemon=True)
        t._running.start()


def thread_wait(t: thread) -> None:
    _check(t)
    with t._lock:
        running = t._running
    if running is not None and running is not threading.current_thread():
        running.join()


def thread_destroy(t: thread) -> None:
    # A run in progress goes on to its end; the handle only forgets it.
    if t is None:
        return
    _check(t)
    with t._lock:
        t._function = None
        t._running = None


for _f in (thread_create, thread_start, thread_wait, thread_destroy):
    _f.__doc__ = _kestrix._docs[_f.__name__] + (
        "\n\nIn Python the function is any callable taking no arguments; it runs on a Python thread."
    )
del _f

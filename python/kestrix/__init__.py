"""libkestrix for Python: every function of the C interface under its C name,
so that a C robot program translates line by line, plus port objects.

    import kestrix
    kestrix.mtp(0, 500, 1000)
    kestrix.bmd(0)
    kestrix.Servo(0).position = 512
    if kestrix.buttons.A.pressed: ...

Every call lets other Python threads run while it is in the library (a
wait, a sleep, the network, an exchange with the coprocessor); only the
camera's quick queries keep the GIL. An argument of the wrong type raises
TypeError; a bad port number gives what the C function gives for it (see
each function's help).
"""
from ._kestrix import *  # noqa: F401,F403  (the C interface, by its own names)
from ._kestrix import __doc__ as _c_doc
from .ports import Analog, Digital, Motor, Servo, buttons  # noqa: F401
from .threads import thread, thread_create, thread_destroy, thread_start, thread_wait  # noqa: F401

__doc__ = __doc__ + "\n" + _c_doc
__version__ = kestrix_version()  # noqa: F405

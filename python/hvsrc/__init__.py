"""hvsrc: high-voltage sources from Python, through a long-lived ``hvsrc-host session``.

    import hvsrc
    with hvsrc.open(simulate=True) as hv:
        src = hv.source("bias:3", 0)
        src.set(50.0)
        volts, amps = src.read()
        src.ramp(0, rate=20)

Voltages are in volts, currents in amperes, rates in V/s, times in seconds. Every failure raises
a subclass of :class:`Error` carrying the program's exit status and text.
"""

from typing import Optional, Sequence, Union

from .errors import (AlarmError, Error, ReadingError, RefusedError, SessionError, StoppedError,
                     UsageError)
from .session import (Device, IvScan, Reading, Result, Sample, Session, Source, SourceSample,
                      find_host)

__all__ = ["open", "Session", "Source", "Device", "Reading", "Sample", "SourceSample", "Result",
           "IvScan",
           "Error", "RefusedError", "ReadingError", "UsageError", "AlarmError", "StoppedError",
           "SessionError", "find_host"]


def open(simulate: bool = False, scenario: Optional[str] = None, lib: Optional[str] = None,
         log_dir: Optional[str] = None, driver: Optional[str] = None,
         host: Union[str, Sequence[str], None] = None) -> Session:
    """Starts ``hvsrc-host session`` with the program's options (``simulate``: the simulated
    sources; ``scenario``: a scenario file, which implies simulate; ``lib``: the plug-in;
    ``log_dir``: the log folder; ``driver``: the stand-in driver) and waits until it has found
    the devices. ``host`` is the program (see :func:`find_host`). Raises SessionError when it
    cannot start (no plug-in: exit 3, no device: exit 4)."""
    argv = find_host(host)
    for flag, value in (("--lib", lib), ("--log-dir", log_dir), ("--driver", driver),
                        ("--scenario", scenario)):
        if value is not None:
            argv += [flag, str(value)]
    if simulate:
        argv.append("--simulate")
    return Session(argv + ["session"])

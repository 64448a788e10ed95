"""The exceptions of hvsrc: every failure the program reports is one of them."""

from typing import Any, Dict, List, Optional, Sequence


class Error(Exception):
    """A request failed, or the session did.

    ``exit_status`` is the program's exit status for it (as its command line would end), ``text``
    what the program said, ``argv`` the request (None for the session itself) and ``records``
    what the request printed before it failed (the steps of a scan, the samples of a monitor).
    """

    def __init__(self, text: str, exit_status: int, argv: Optional[Sequence[str]] = None,
                 records: Optional[List[Dict[str, Any]]] = None):
        super().__init__(f"{text} (exit {exit_status})")
        self.text = text
        self.exit_status = exit_status
        self.argv = list(argv) if argv is not None else None
        self.records = records if records is not None else []


class RefusedError(Error):
    """A source refused the request or the exchange with it failed (exit 1)."""


class ReadingError(Error):
    """A reading failed (a lost line): there is no value, never a 0 in its place (exit 1)."""


class UsageError(Error):
    """A bad argument, an unknown command or a target beyond the limits: nothing was run (exit 2)."""


class AlarmError(Error):
    """A monitor, ramp or scan raised an alarm (exit 5)."""


class StoppedError(Error):
    """The request was stopped (stop(), Ctrl-C, a signal) before it finished (exit 128 + signal)."""


class SessionError(Error):
    """The session could not start (no plug-in, no device: exit 3, 4) or it ended or died."""


def error_for(exit_status: int, text: str, argv: Optional[Sequence[str]],
              records: List[Dict[str, Any]], failed_reading: bool) -> Error:
    """The exception for a request that ended with `exit_status`."""
    if exit_status == 1:
        kind = ReadingError if failed_reading else RefusedError
    else:
        kind = {2: UsageError, 3: SessionError, 4: SessionError, 5: AlarmError}.get(exit_status)
    if kind is None:
        kind = StoppedError if exit_status >= 128 else Error
    return kind(text, exit_status, argv, records)

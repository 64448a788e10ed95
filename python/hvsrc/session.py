"""The session: one ``hvsrc-host session`` process and its JSON-lines protocol.

Requests run one after another (a lock orders callers from several threads); ``stop()`` may be
called from any thread while one runs. Voltages are in volts, currents in amperes, times in
seconds: the program's uA and mA are converted here.
"""

import collections
import itertools
import json
import os
import queue
import shlex
import shutil
import subprocess
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from .errors import AlarmError, SessionError, error_for

# Amperes per unit the program gives currents in.
_AMPERES = {"nA": 1e-9, "uA": 1e-6, "mA": 1e-3, "A": 1.0}
# How often a wait for the program looks whether it is still alive, in seconds.
_POLL_S = 0.2
# How long close() waits for the program to deinitialise the library before it is killed.
_CLOSE_TIMEOUT_S = 30.0
# Lines of the program's error stream kept for the text of a SessionError.
_ERR_LINES = 40

_END = object()  # the program's output ended


def _amperes(value: Optional[float], unit: Optional[str]) -> Optional[float]:
    return None if value is None or unit is None else value * _AMPERES[unit]


def find_host(host: Union[str, Sequence[str], None] = None) -> List[str]:
    """The command that starts hvsrc-host: `host` (a path, or a command as a list), else the
    HVSRC_HOST environment variable, else the program beside this package in an unpacked archive,
    else hvsrc-host on the PATH."""
    if host is not None:
        return [str(host)] if isinstance(host, (str, os.PathLike)) else [str(h) for h in host]
    name = "hvsrc-host.exe" if sys.platform == "win32" else "hvsrc-host"
    env = os.environ.get("HVSRC_HOST")
    if env:
        return [env] if Path(env).exists() else shlex.split(env)
    beside = Path(__file__).resolve().parent.parent.parent / name
    if beside.exists():
        return [str(beside)]
    found = shutil.which(name)
    if found:
        return [found]
    raise SessionError(f"{name} not found: give host= or set HVSRC_HOST", 3)


class Reading(NamedTuple):
    """One source's measurement: volts (V) and current (A; None where not measured)."""

    volts: float
    current: Optional[float]


@dataclass
class Device:
    """A device as `list` shows it; `limits` are (low, high) in V per source."""

    dev: int
    address: str
    name: str
    kind: str
    number: int
    firmware: str
    sources: int
    limits: List[Tuple[float, float]]
    polarity: Optional[str]


@dataclass
class SourceSample:
    """One source in a monitor sample: volts (V), current (A), or None with `error` set."""

    address: str
    src: int
    volts: Optional[float]
    current: Optional[float]
    error: Optional[str]


@dataclass
class Sample:
    """One round of monitor readings: seconds since the start, UTC time, every source."""

    time_s: float
    time_utc: Optional[str]
    sources: List[SourceSample]


class Result(NamedTuple):
    """What a request that succeeded printed: its JSON objects (without "id") and its messages
    (what it said on the error stream)."""

    records: List[Dict[str, Any]]
    messages: List[str]


class Session:
    """A running ``hvsrc-host session``; use :func:`hvsrc.open`."""

    def __init__(self, command: List[str]):
        self._argv = command
        try:
            self._proc = subprocess.Popen(
                command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                encoding="utf-8", errors="replace", bufsize=1)
        except OSError as e:
            raise SessionError(f"cannot start {command[0]}: {e}", 3) from e
        self._lines: "queue.Queue[Any]" = queue.Queue()
        self._err_tail: "collections.deque[str]" = collections.deque(maxlen=_ERR_LINES)
        self._ids = itertools.count(1)
        self._request_lock = threading.Lock()  # one request at a time
        self._write_lock = threading.Lock()  # whole lines on the program's input
        self._ended = False
        self._out_reader = threading.Thread(target=self._read_out, daemon=True)
        self._err_reader = threading.Thread(target=self._read_err, daemon=True)
        self._out_reader.start()
        self._err_reader.start()
        # The session's own lines until it is ready, or until it says why not and ends.
        error: Optional[str] = None
        while True:
            line = self._next_line()
            if line is None or line.get("ready") or line.get("done"):
                break
            error = line.get("error", error)
        if line is None or not line.get("ready"):
            status = line.get("exit", 3) if line else self._exit_status()
            self.close()
            raise SessionError(error or self._error_text(), status)
        self.version: str = line.get("version", "")
        self.log_dir: str = line.get("log_dir", "")

    @property
    def pid(self) -> int:
        """The process id of the hvsrc-host session."""
        return self._proc.pid

    # --- the protocol ---------------------------------------------------------------------

    def _read_out(self) -> None:
        for line in self._proc.stdout:
            try:
                self._lines.put(json.loads(line))
            except ValueError:
                self._lines.put({"id": None, "message": line.rstrip("\n")})
        self._lines.put(_END)

    def _read_err(self) -> None:
        for line in self._proc.stderr:
            self._err_tail.append(line.rstrip("\n"))

    def _exit_status(self) -> int:
        """The ended program's exit status, once its last lines on the error stream are read."""
        try:
            status = self._proc.wait(timeout=_CLOSE_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            return -1
        self._err_reader.join(_POLL_S * 5)
        return status

    def _error_text(self) -> str:
        tail = "\n".join(self._err_tail)
        return tail or f"hvsrc-host ended ({' '.join(self._argv)})"

    def _next_line(self) -> Optional[Dict[str, Any]]:
        """The program's next line; None when its output ended (it exited or died)."""
        while True:
            try:
                line = self._lines.get(timeout=_POLL_S)
            except queue.Empty:
                # The output of a process that ended ends too, and its reader says so; this only
                # guards against a pipe that another process (a Wine server) still holds open.
                if self._proc.poll() is not None:
                    self._out_reader.join(_POLL_S * 5)
                    if self._lines.empty():
                        self._ended = True
                        return None
                continue
            if line is _END:
                self._ended = True
                return None
            return line

    def _send(self, request: Dict[str, Any]) -> None:
        text = json.dumps(request) + "\n"
        with self._write_lock:
            try:
                self._proc.stdin.write(text)
                self._proc.stdin.flush()
            except (OSError, ValueError):
                pass  # the program has gone: its output's end says so

    def _died(self, argv: Sequence[str], records: List[Dict[str, Any]]) -> SessionError:
        status = self._exit_status()
        tail = "\n".join(self._err_tail)
        return SessionError(f"the hvsrc-host session ended during the request"
                            f"{': ' + tail if tail else ''}", status, argv, records)

    def _stream(self, argv: Sequence[str],
                messages: Optional[List[str]] = None) -> Iterator[Dict[str, Any]]:
        """Sends a request and yields its objects (without "id") as they come, its messages
        going to `messages`; raises when it fails, with every object it printed."""
        if self._ended:
            raise SessionError("the hvsrc-host session has ended", self._exit_status(), argv)
        request_id = next(self._ids)
        self._send({"id": request_id, "argv": list(argv)})
        records: List[Dict[str, Any]] = []
        messages = [] if messages is None else messages
        error_text, failed_reading = None, False
        finished = False
        try:
            while True:
                line = self._next_line()
                if line is None:
                    raise self._died(argv, records)
                if line.get("id") != request_id:
                    continue  # a stop's answer
                if line.get("done"):
                    finished = True
                    status = line.get("exit", 0)
                    if status != 0:
                        text = error_text or "\n".join(messages) or f"'{' '.join(argv)}' failed"
                        raise error_for(status, text, argv, records, failed_reading)
                    return
                if "message" in line:
                    messages.append(line["message"])
                    continue
                if "error" in line and "exit" in line:
                    error_text = line["error"]  # why the request failed
                    continue
                failed_reading = failed_reading or _has_failed_reading(line)
                record = {k: v for k, v in line.items() if k != "id"}
                records.append(record)
                yield record
        finally:
            if not finished and not self._ended:
                # Left early (the caller stopped iterating, or Ctrl-C): stop the request and read
                # on to its end, so that the next request starts on a clean line.
                self.stop()
                while True:
                    line = self._next_line()
                    if line is None or (line.get("id") == request_id and line.get("done")):
                        break

    def run(self, *argv: str) -> Result:
        """Runs one request (a command as the command line spells it, e.g. ``run("read", "0")``)
        and returns what it printed; raises a subclass of :class:`hvsrc.Error` when it fails."""
        messages: List[str] = []
        with self._request_lock:
            records = list(self._stream([str(a) for a in argv], messages))
        return Result(records, messages)

    # --- the shape a script uses ------------------------------------------------------------

    def devices(self) -> List[Device]:
        """Every device found: address, kind, number, firmware, limits (V) per source."""
        listing = self.run("list").records[0]["devices"]
        return [Device(d["dev"], d.get("address", str(d["dev"])), d["name"], d["kind"],
                       d["number"], d["firmware"], d["sources"],
                       [tuple(l) for l in d["limits_v"]], d.get("polarity"))
                for d in listing]

    def source(self, address: Union[str, int], src: int = 0) -> "Source":
        """A source of a device: `address` as ``KIND:NUMBER`` ("bias:3") or the list position."""
        return Source(self, str(address), int(src))

    def monitor(self, interval: float = 1.0, count: Optional[int] = None,
                duration: Optional[float] = None, **options: Any) -> Iterator[Sample]:
        """Yields every source's readings each `interval` seconds as they are taken, `count`
        times or for `duration` seconds (neither: until stop()). Other keywords become the
        program's options (csv="run.csv", svg="run.svg", trip="10uA", ...). Leaving the loop
        early stops the monitor. A failed reading is None with its error, never a 0."""
        argv = ["monitor", "--interval", repr(float(interval))]
        if count is not None:
            argv += ["--count", str(int(count))]
        if duration is not None:
            argv += ["--duration", repr(float(duration))]
        with self._request_lock:
            for record in self._stream(argv + _flags(options)):
                if "sources" not in record:
                    continue  # the closing summary
                yield Sample(record.get("time_s", 0.0), record.get("time_utc"),
                             [SourceSample(s.get("address", str(s.get("dev"))), s["src"],
                                           s["volts"],
                                           _amperes(s.get("current"), s.get("current_unit")),
                                           s.get("error"))
                              for s in record["sources"]])

    def rescan(self) -> int:
        """Deinitialises the library and finds the devices again (a re-plugged supply); their
        number."""
        return self.run("rescan").records[0]["devices"]

    def stop(self) -> None:
        """Stops the running request as Ctrl-C would (a scan still ramps back). Any thread."""
        self._send({"id": f"stop-{next(self._ids)}", "argv": ["stop"]})

    def close(self) -> int:
        """Ends the session: the program deinitialises the library and exits; its exit status.
        A program that does not end within 30 s is killed."""
        try:
            with self._write_lock:
                self._proc.stdin.close()
        except OSError:
            pass
        try:
            status = self._proc.wait(timeout=_CLOSE_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            status = self._proc.wait()
        self._ended = True
        return status

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def _flags(options: Dict[str, Any]) -> List[str]:
    """Keywords as the program's options: settle_timeout=60 is --settle-timeout 60; True is a
    flag alone (append=True is --append)."""
    argv: List[str] = []
    for key, value in options.items():
        if value is None or value is False:
            continue
        argv.append("--" + key.replace("_", "-"))
        if value is not True:
            argv.append(str(value))
    return argv


def _has_failed_reading(record: Dict[str, Any]) -> bool:
    sources = record.get("sources")
    if isinstance(sources, list):
        return any(isinstance(s, dict) and s.get("error") for s in sources)
    return record.get("volts", 0) is None and bool(record.get("error"))


class Source:
    """One output of a device. Volts in V, currents in A, rates in V/s."""

    def __init__(self, session: Session, address: str, src: int):
        self.session, self.address, self.src = session, address, src

    def __repr__(self) -> str:
        return f"Source({self.address!r}, {self.src})"

    def set(self, volts: float) -> float:
        """Sets the output; returns the voltage sent (V), which the source's resolution may cut
        (whole volts, or tenths for a bias module)."""
        record = self.session.run("set", self.address, str(self.src), repr(float(volts))).records
        return record[-1]["sent_volts"]

    def read(self) -> Reading:
        """The measured voltage (V) and current (A; None where the source measures none).
        Raises ReadingError when the reading failed."""
        record = self.session.run("read", self.address, str(self.src)).records[-1]
        s = record["sources"][0]
        return Reading(s["volts"], _amperes(s["current"], s["current_unit"]))

    def ramp(self, volts: float, rate: float = 10.0, **options: Any) -> float:
        """Moves the output to `volts` at `rate` V/s and waits until it is there; returns the
        voltage measured at the end (V). Other keywords become the program's options (step=5,
        tolerance=1, settle_timeout=60). Raises RefusedError when it did not get there."""
        argv = ["ramp", self.address, str(self.src), repr(float(volts)), "--rate", repr(float(rate))]
        records = self.session.run(*argv, *_flags(options)).records
        ends = [r for r in records if r.get("event") == "end"]
        return ends[-1]["volts"] if ends else float(volts)

    def iv(self, start: float, stop: float, step: float, compliance: Optional[str] = None,
           **options: Any) -> "IvScan":
        """An IV scan from `start` to `stop` V in `step` V steps (the program's ``iv``);
        `compliance` a current with its unit ("10uA"). Other keywords become its options
        (settle=1, samples=5, back=0, rate=20, csv=..., svg=...). Returns the steps as records
        with the fields the program prints (set_volts, mean_volts, std_volts, mean_current,
        std_current in current_unit, samples, status); ``.end`` says how it ended. A scan stopped
        at the compliance that got back to `back` V is returned as well (``.end["status"]`` is
        "compliance"); any other failure raises, its ``records`` holding the steps taken."""
        argv = ["iv", self.address, str(self.src), repr(float(start)), repr(float(stop)),
                repr(float(step))]
        if compliance is not None:
            argv += ["--compliance", str(compliance)]
        try:
            records = self.session.run(*argv, *_flags(options)).records
        except AlarmError as e:
            end = _end_of(e.records)
            if not end or end.get("status") != "compliance" or not end.get("reached"):
                raise
            records = e.records
        return IvScan([r for r in records if r.get("event") == "step"], _end_of(records))


def _end_of(records: List[Dict[str, Any]]) -> Dict[str, Any]:
    ends = [r for r in records if r.get("event") == "end"]
    return ends[-1] if ends else {}


class IvScan(list):
    """The steps of an IV scan (records with their fields); ``end`` is the closing record
    (status, reason, end_volts, reached)."""

    def __init__(self, steps: List[Dict[str, Any]], end: Dict[str, Any]):
        super().__init__(steps)
        self.end = end

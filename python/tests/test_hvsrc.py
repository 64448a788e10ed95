"""The hvsrc module against hvsrc-host session on simulated sources (HVSRC_HOST names the build's
program): each method once, failures raising, a stop and a killed session."""

import os
import signal
import threading
import time

import pytest

import hvsrc

# Sources that follow their set voltage at once, and a bias module that slews at 5 V/s.
FAST = ("hvsrc | Tessaro HV Source: 1 | sources=2 range0=-500:500 load0=10\n"
        "bias | BiasModule: 3 | limits=0:90 load=100\n")
SLOW = "bias | BiasModule: 3 | limits=0:90 ramp=5\n"
# A sensor that breaks down at 350 V, and a bridge pulled out 1.5 s after the start.
SENSOR = "hvsrc | Tessaro HV Source: 1 | leak0=2uA depletion0=100 breakdown0=350\n"
UNPLUGGED = "bias | BiasModule: 3 | limits=0:90 unplug=1.5\n"
# Longest a call may take to raise once its session died: a hang would take for ever.
DIES_WITHIN_S = 20


def session(tmp_path, scenario):
    path = tmp_path / "row.scn"
    path.write_text(scenario)
    return hvsrc.open(scenario=str(path), log_dir=str(tmp_path / "logs"))


def in_thread(call):
    """Runs `call` on a thread; returns the thread and a list that gets its exception."""
    raised = []

    def run():
        try:
            call()
        except hvsrc.Error as e:
            raised.append(e)

    thread = threading.Thread(target=run)
    thread.start()
    return thread, raised


def test_each_method(tmp_path):
    with session(tmp_path, FAST) as hv:
        assert [(d.address, d.kind, d.sources, d.limits[0]) for d in hv.devices()] == [
            ("hv:1", "HV source", 2, (-500.0, 500.0)), ("bias:3", "bias module", 1, (0.0, 90.0))]
        bias = hv.source("bias:3", 0)
        assert bias.set(42.57) == 42.5
        assert bias.read() == (42.5, pytest.approx(0.4e-3))
        assert hv.source("hv:1", 1).read() == (0.0, 0.0)
        assert bias.ramp(0, rate=500) == pytest.approx(0.0, abs=1.0)
        samples = list(hv.monitor(interval=0.01, count=2))
        assert len(samples) == 2 and samples[0].time_s < samples[1].time_s
        assert [(s.address, s.src) for s in samples[1].sources] == [
            ("hv:1", 0), ("hv:1", 1), ("bias:3", 0)]
        assert hv.rescan() == 2
        assert hv.run("get", "hv:1", "MaxVoltage1").records[0]["value"] == 500
    assert hv.close() == 0


def test_failures_raise_with_exit_status_and_text(tmp_path):
    with session(tmp_path, FAST) as hv:
        cases = [
            (lambda: hv.source("bias:3", 0).set(95), hvsrc.UsageError, 2,
             "95 V is above the upper limit 90 V"),
            (lambda: hv.run("set", "hv:1", "0", "ten"), hvsrc.UsageError, 2,
             "'ten' is not a voltage"),
            (lambda: hv.run("put", "hv:1", "Voltage2", "5000"), hvsrc.RefusedError, 1,
             "refused: Voltage out of range 5000"),
            (lambda: hv.run("bogus"), hvsrc.UsageError, 2, "unknown command 'bogus'"),
        ]
        for call, kind, status, text in cases:
            with pytest.raises(kind) as raised:
                call()
            assert raised.value.exit_status == status and text in raised.value.text
        # The session goes on after each.
        assert hv.source("bias:3", 0).set(10) == 10.0
    # A session that cannot start: no device found, no program.
    for start, status, text in [(lambda: session(tmp_path, "# no sources\n"), 4, "no devices found"),
                                (lambda: hvsrc.open(host=str(tmp_path / "none")), 3, "none")]:
        with pytest.raises(hvsrc.SessionError) as raised:
            start()
        assert raised.value.exit_status == status and text in raised.value.text


def test_failed_reading_raises_never_zero(tmp_path):
    with session(tmp_path, UNPLUGGED) as hv:
        time.sleep(2.0)
        with pytest.raises(hvsrc.ReadingError) as raised:
            hv.source("bias:3", 0).read()
        assert raised.value.exit_status == 1


def test_stop_during_a_ramp(tmp_path):
    with session(tmp_path, SLOW) as hv:
        bias = hv.source("bias:3", 0)
        thread, raised = in_thread(lambda: bias.ramp(80, rate=5))
        time.sleep(1.0)
        hv.stop()
        thread.join(DIES_WITHIN_S)
        assert not thread.is_alive()
        assert isinstance(raised[0], hvsrc.StoppedError) and raised[0].exit_status == 130
        assert "interrupted: device 0 source 0 left at" in raised[0].text
        volts, _ = bias.read()
        assert 0.0 < volts < 80.0


def test_killed_session_raises(tmp_path):
    hv = session(tmp_path, SLOW)
    thread, raised = in_thread(lambda: hv.source("bias:3", 0).ramp(80, rate=5))
    time.sleep(1.0)
    os.kill(hv.pid, signal.SIGKILL if hasattr(signal, "SIGKILL") else signal.SIGTERM)
    thread.join(DIES_WITHIN_S)
    assert not thread.is_alive()
    assert isinstance(raised[0], hvsrc.SessionError) and raised[0].exit_status != 0
    with pytest.raises(hvsrc.SessionError):
        hv.devices()


def test_iv_scan_stops_at_compliance(tmp_path):
    with session(tmp_path, SENSOR) as hv:
        steps = hv.source("hv:1", 0).iv(0, 500, 25, compliance="10uA", settle=0, samples=1,
                                         rate=1000)
    volts = [s["set_volts"] for s in steps]
    assert volts[0] == 0 and 325 <= volts[-1] <= 400

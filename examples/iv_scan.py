#!/usr/bin/env python3
"""An IV scan of the simulated silicon sensor in sensor.scn (breakdown at 350 V), printed as a
table. Run it from the unpacked package with nothing installed beyond Python 3:

    python3 examples/iv_scan.py [--host PATH] [--to VOLTS] [--step VOLTS] [--compliance 10uA]

It starts hvsrc-host session beside the package's python/ folder (or --host, or HVSRC_HOST),
scans source 0 of the HV source hv:1 up to the compliance current, and ramps it back to 0 V.
"""

import argparse
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "python"))

import hvsrc  # noqa: E402  (the package's own copy, found above)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", help="hvsrc-host to start (default: the one in this package)")
    parser.add_argument("--to", type=float, default=400.0, help="last voltage, V (default 400)")
    parser.add_argument("--step", type=float, default=10.0, help="step, V (default 10)")
    parser.add_argument("--compliance", default="10uA", help="current that ends the scan")
    args = parser.parse_args()

    logs = tempfile.mkdtemp(prefix="hvsrc-iv-")
    try:
        with hvsrc.open(scenario=str(HERE / "sensor.scn"), log_dir=logs, host=args.host) as hv:
            sensor = hv.source("hv:1", 0)
            scan = sensor.iv(0, args.to, args.step, compliance=args.compliance, settle=0.2,
                             samples=3, rate=200)
    except hvsrc.Error as e:
        print(f"iv scan failed (exit {e.exit_status}): {e.text}", file=sys.stderr)
        return 1
    print(f"{'step':>4} {'set V':>8} {'mean V':>8} {'mean I':>10} {'spread':>9}  unit  status")
    for s in scan:
        print(f"{s['step']:>4} {s['set_volts']:>8.1f} {s['mean_volts']:>8.1f} "
              f"{s['mean_current']:>10.3f} {s['std_current']:>9.3f}  {s['current_unit']:<4}  "
              f"{s['status']}")
    end = scan.end
    if end.get("reason"):
        print(end["reason"])
    print(f"ended at {end.get('end_volts')} V (logs in {logs})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

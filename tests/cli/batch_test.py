#!/usr/bin/env python3
"""Batch mode of the zentrel executable on the virtual board: output, JSON validity, exit codes."""
import json
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

ZENTREL = sys.argv[1]
PLUG = sys.argv[2] if len(sys.argv) > 2 else None  # the pty plug: device files without hardware
failures = []


def run(*args, timeout=60):
    p = subprocess.run([ZENTREL, *args], capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def check(cond, what, detail=""):
    if not cond:
        failures.append(f"{what}\n{detail}")


def json_run():
    rc, out, err = run("--virtual", "--batch", "--seconds", "3", "-n", "2", "--json")
    check(rc == 0, "clean JSON run exits 0", err)
    objs = []
    for line in out.splitlines():
        try:
            objs.append(json.loads(line))
        except json.JSONDecodeError as e:
            check(False, "every output line is one JSON object", f"{line!r}: {e}")
    samples = [o for o in objs if o.get("type") == "sample"]
    check(len(samples) >= 2, "one sample object per second", out)
    check(objs and objs[-1].get("type") == "summary", "the summary object comes last", out)
    for s in samples:
        check([p["port"] for p in s["ports"]] == ["COM3", "COM4"], "ports are labelled COM%d", str(s))
        for p in s["ports"]:
            for k in ("xmit", "rcv", "errs", "ovlds", "rate", "txqueue"):
                check(isinstance(p.get(k), int) and p[k] >= 0, f"port figure {k} is a count", str(p))
    if samples:
        last = samples[-1]["ports"][0]
        check(last["xmit"] > 0 and last["rate"] > 0, "the last sample shows traffic", str(last))
    if objs:
        s = objs[-1]
        check(s.get("data_errors") == 0 and s.get("queue_overruns") == 0, "clean run has no errors", str(s))
        check(s.get("average_cps", 0) > 10000 and s.get("ports") == 2, "summary figures", str(s))


def text_run():
    rc, out, err = run("7", "--virtual", "--batch", "--seconds", "2", "-n", "2", "-b", "9600", "-f", "rtscts")
    check(rc == 0, "clean text run exits 0", err)
    check("Port        Xmit        Rcv         Errs        Rate        TxQueue" in out, "table header", out)
    check(any(l.startswith("COM7 ") for l in out.splitlines()), "first port from FIRST", out)
    check(any(l.startswith("COM8 ") for l in out.splitlines()), "second port", out)
    check("Average cps: " in out and "Data errors:   0" in out, "summary text", out)


def missing_first():
    rc, out, err = run("--virtual=3:missing", "--batch", "--seconds", "2")
    check(rc == 2, "a first port that cannot be opened exits 2", f"rc={rc} {err}")
    check("Unable to open COM3 at configured baudrate." in err, "its message goes to stderr", err)


def missing_later():
    rc, out, err = run("--virtual=4:missing", "--batch", "--seconds", "2", "-n", "3")
    check(rc == 2, "a dropped port exits 2", f"rc={rc} {err}")
    check("Unable to open COM4 at configured baudrate." in err, "dropped port message", err)
    check("Average cps:" in out, "the kept port still runs to its summary", out)


def noisy():
    rc, out, err = run("--virtual=3:noise=3000", "--batch", "--seconds", "2", "-n", "1", "--json")
    check(rc == 1, "data errors exit 1", f"rc={rc} {err}")
    lines = out.splitlines()
    summary = json.loads(lines[-1]) if lines else {}
    check(summary.get("data_errors", 0) > 0, "summary counts the errors", out)


def clamped_count():
    rc, out, err = run("--virtual", "--batch", "--seconds", "1", "-n", "0", "--json")
    check(rc == 0, "count 0 runs", err)
    objs = [json.loads(l) for l in out.splitlines()]
    check(objs and objs[-1].get("ports") == 1, "count 0 becomes 1 as in the dialog", out)


def usage_errors():
    for args in (["-b", "1234", "--virtual", "--batch"], ["-f", "bogus", "--virtual", "--batch"],
                 ["--virtual", "--json"], ["--virtual", "--seconds", "3"], ["--no-such-option"],
                 ["--virtual=ports=oops", "--batch"], ["-d", "/dev/" + "x" * 80, "--batch"]):
        rc, out, err = run(*args)
        check(rc == 64, f"usage error exits 64: {args}", f"rc={rc} {err}")
        check(err.strip() != "", f"usage error says why: {args}")
    rc, out, _ = run("-V")
    check(rc == 0 and "Zentrel Labs" in out, "version", out)
    rc, out, _ = run("--help")
    check(rc == 0 and "--batch" in out, "help", out)


def interrupted():
    p = subprocess.Popen([ZENTREL, "--virtual", "--batch", "-n", "1"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    time.sleep(2.5)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=30)
    check(p.returncode == 0, "Ctrl-C ends a clean run with 0", f"rc={p.returncode} {err}")
    check("Average cps:" in out, "Ctrl-C still gives the summary", out)


def closed_output():
    # A reader that goes away (`| head`) ends the run cleanly instead of killing the program.
    p = subprocess.Popen([ZENTREL, "--virtual", "--batch", "-n", "1", "--json"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    first = p.stdout.readline()
    p.stdout.close()
    try:
        p.wait(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        check(False, "a closed output ends the run")
        return
    check(json.loads(first).get("type") == "sample", "first line is a sample", first)
    check(p.returncode == 0, "a closed output ends the run with 0, not by SIGPIPE", f"rc={p.returncode}")


def device_files():
    # Ports reached by a device prefix are labelled with their device name.
    if not PLUG:
        return
    d = tempfile.mkdtemp()
    plug = subprocess.Popen([PLUG, "--dir", d + "/p", "--count", "2", "--unpaced"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        ready = plug.stdout.readline()
        check(ready.startswith("ready:"), "the plug made its ports", ready)
        rc, out, err = run("-d", d + "/p/ttyV", "--batch", "--seconds", "2", "-n", "2", "--json")
        check(rc == 0, "a run on device files exits 0", f"rc={rc} {err}")
        objs = [json.loads(l) for l in out.splitlines()]
        samples = [o for o in objs if o["type"] == "sample"]
        check(samples and [p["port"] for p in samples[-1]["ports"]] == ["ttyV3", "ttyV4"],
              "device ports are labelled by their device name", out)
    finally:
        plug.send_signal(signal.SIGTERM)
        plug.communicate(timeout=30)
        shutil.rmtree(d, ignore_errors=True)


with ThreadPoolExecutor(max_workers=2) as ex:
    for f in [ex.submit(t) for t in (json_run, text_run, missing_first, missing_later, noisy, clamped_count,
                                     usage_errors, interrupted, closed_output, device_files)]:
        f.result()

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)

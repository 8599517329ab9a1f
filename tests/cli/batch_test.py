#!/usr/bin/env python3
"""Batch mode of the zentrel executable on the virtual board: output, JSON and CSV validity, exit codes,
the driver's line errors; --list and any baud rate on the pty plug."""
import contextlib
import csv
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

ZENTREL = sys.argv[1]
# A cross-built program runs through its emulator (ZENTREL_EMULATOR=wine for the Windows build).
LAUNCH = os.environ.get("ZENTREL_EMULATOR", "").split() + [ZENTREL]
PLUG = sys.argv[2] if len(sys.argv) > 2 else None  # the pty plug: device files without hardware
failures = []


def run(*args, timeout=60):
    p = subprocess.run([*LAUNCH, *args], capture_output=True, text=True, timeout=timeout)
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
        check(s.get("line_errors") == {"framing": 0, "parity": 0, "hw_overrun": 0, "buf_overrun": 0, "break": 0},
              "the board's driver counts no line errors on a clean run", str(s))


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
    check("Unable to open COM3 at configured baudrate.\nnot found" in err, "its message goes to stderr", err)
    # A format the board's driver does not have (1.5 stop bits need 5 data bits) fails the same way.
    rc, out, err = run("--virtual", "--batch", "--seconds", "2", "--format", "8N1.5")
    check(rc == 2 and "the driver refused 8N1.5" in err, "a refused format exits 2 naming it", f"rc={rc} {err}")


def missing_later():
    rc, out, err = run("--virtual=4:missing", "--batch", "--seconds", "2", "-n", "3")
    check(rc == 2, "a dropped port exits 2", f"rc={rc} {err}")
    check("Unable to open COM4 at configured baudrate." in err, "dropped port message", err)
    check("Average cps:" in out, "the kept port still runs to its summary", out)


def not_as_asked():
    # A setting the driver refuses or does not keep, or a port in use, ends the run before it starts.
    for board, args, reason in (("3:refuse=sethandflow", ["-f", "rtscts"], "the driver refused RTS/CTS flow control"),
                                ("3:ignore=baud", ["-b", "57600"], "the driver did not keep 57600 baud"),
                                ("3:busy", [], "in use")):
        rc, out, err = run(f"--virtual={board}", "--batch", "--seconds", "2", "-n", "1", *args)
        check(rc == 2 and f"Unable to open COM3 at configured baudrate.\n{reason}\n" in err and not out,
              f"{board} {args}: exit 2 naming the port and why, nothing run", f"rc={rc}\n{out}{err}")


def line_errors():
    # The driver's counts, per run and per port; a driver without them says so instead of 0.
    rc, out, err = run("--virtual=3:frame=3000,parity=4000,overrun=5000,break=400;4:refuse=stats", "--batch",
                       "--seconds", "3", "-n", "2", "--json", "-b", "250000", "-f", "none")
    check(rc == 1, "line errors exit 1", f"rc={rc} {err}")
    s = json.loads(out.splitlines()[-1]) if out else {}
    le = s.get("line_errors", {})
    check(all(isinstance(le.get(k), int) and le[k] > 0 for k in ("framing", "parity", "hw_overrun", "break")),
          "each fault is counted", str(s))
    # Buffer overruns need a reader that falls behind: a loaded machine's, now and then.
    check(isinstance(le.get("buf_overrun"), int), "buffer overruns are counted", str(s))
    per = s.get("port_totals", [])
    check(len(per) == 2 and per[0].get("line_errors") == le, "per port: the counting port gives the total", str(s))
    check(len(per) == 2 and set(per[1]["line_errors"].values()) == {"not available"},
          "a driver without counters: not available", str(s))
    check(s.get("baud") == 250000 and 99 <= s.get("percent", 0) <= 101, "any rate, at its capacity", str(s))
    # Without the data check only the driver sees the errors: they still fail the run.
    rc, out, err = run("--virtual=3:frame=3000", "--batch", "--seconds", "2", "-n", "1", "--no-verify")
    check(rc == 1, "line errors alone exit 1", f"rc={rc} {err}")
    check("Line errors (driver): framing " in out and "break 0" in out, "text summary names them", out)


def csv_run():
    rc, out, err = run("--virtual", "--batch", "--seconds", "3", "-n", "2", "--csv")
    check(rc == 0, "clean CSV run exits 0", err)
    rows = list(csv.reader(io.StringIO(out, newline="")))
    check(rows and rows[0] == ["elapsed_ms", "port", "xmit", "rcv", "errs", "ovlds", "rate", "txqueue"],
          "header row", out)
    samples = [r for r in rows[1:] if r and r[0].isdigit()]
    # A loaded machine may skip a paint; each one that happens gives a row per sampled port.
    check(len(samples) >= 2 and all(len(r) == 8 for r in samples), "rows of eight fields", out)
    check({r[1] for r in samples} == {"COM3", "COM4"}, "ports by name", out)
    check(all(all(x.isdigit() for x in r[2:]) for r in samples), "figures are plain numbers", out)
    summary = [r for r in rows if r and r[0] == "summary"]
    check(len(summary) == 4 and summary[0][1] == "port" and summary[1][1] == "all", "summary rows", out)
    if len(summary) == 4:
        head, total = summary[0], dict(zip(summary[0], summary[1]))
        check(len(head) == 21 and total["format"] == "8N1" and int(total["average_cps"]) > 10000 and total["framing"] == "0"
              and total["passed"] == "true" and total["lost"] == "0",
              "summary figures", out)
        check(total["rx_queue_size"] == "4096" and int(total["rx_queue_peak"]) < 4096 and
              int(total["read_gap_max_ms"]) > 0, "the worst port's margin", out)


def clamped_count():
    rc, out, err = run("--virtual", "--batch", "--seconds", "1", "-n", "0", "--json")
    check(rc == 0, "count 0 runs", err)
    objs = [json.loads(l) for l in out.splitlines()]
    check(objs and objs[-1].get("ports") == 1, "count 0 becomes 1 as in the dialog", out)


def usage_errors():
    for args in (["-b", "0", "--virtual", "--batch"], ["-b", "fast", "--virtual", "--batch"],
                 ["--virtual", "--csv"], ["--virtual", "--batch", "--csv", "--json"], ["--list", "--batch"],
                 ["-f", "bogus", "--virtual", "--batch"], ["--format", "8X1", "--virtual", "--batch"],
                 ["--format", "5N1", "--virtual", "--batch"],
                 ["--virtual", "--json"], ["--virtual", "--seconds", "3"], ["--no-such-option"],
                 ["--virtual=ports=oops", "--batch"], ["-d", "/dev/" + "x" * 80, "--batch"],
                 ["--virtual", "--batch", "99999999999999999999"], ["--virtual", "--batch", "-n", "2", "2147483647"]):
        rc, out, err = run(*args)
        check(rc == 64, f"usage error exits 64: {args}", f"rc={rc} {err}")
        check(err.strip() != "", f"usage error says why: {args}")
    rc, out, _ = run("-V")
    check(rc == 0 and "Zentrel Labs" in out, "version", out)
    rc, out, _ = run("--help")
    check(rc == 0 and "--batch" in out, "help", out)


def interrupted():
    p = subprocess.Popen([*LAUNCH, "--virtual", "--batch", "-n", "1"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    time.sleep(2.5)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=30)
    check(p.returncode == 0, "Ctrl-C ends a clean run with 0", f"rc={p.returncode} {err}")
    check("Average cps:" in out, "Ctrl-C still gives the summary", out)


def closed_output():
    # A reader that goes away (`| head`) ends the run cleanly instead of killing the program.
    p = subprocess.Popen([*LAUNCH, "--virtual", "--batch", "-n", "1", "--json"], stdout=subprocess.PIPE,
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


@contextlib.contextmanager
def plug_ports(*args):
    """The pty plug's ports in a directory of their own: yields their device prefix; gone afterwards."""
    d = tempfile.mkdtemp()
    plug = subprocess.Popen([PLUG, "--dir", d + "/p", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        ready = plug.stdout.readline()
        check(ready.startswith("ready:"), "the plug made its ports", ready)
        yield d + "/p/ttyV"
    finally:
        plug.send_signal(signal.SIGTERM)
        plug.communicate(timeout=30)
        shutil.rmtree(d, ignore_errors=True)


def device_files():
    # Ports reached by a device prefix are labelled with their device name.
    if not PLUG:
        return
    with plug_ports("--count", "2", "--unpaced") as prefix:
        rc, out, err = run("-d", prefix, "--batch", "--seconds", "2", "-n", "2", "--json")
        check(rc == 0, "a run on device files exits 0", f"rc={rc} {err}")
        objs = [json.loads(l) for l in out.splitlines()]
        samples = [o for o in objs if o["type"] == "sample"]
        check(samples and [p["port"] for p in samples[-1]["ports"]] == ["ttyV3", "ttyV4"],
              "device ports are labelled by their device name", out)
        summary = objs[-1] if objs else {}
        check(summary.get("drain") == "hidden" and all(p["lost"] is None for p in summary.get("port_totals", [])),
              "a pty hides bytes in flight: lost bytes are not told", str(summary))


def two_analyzers():
    # A port in a run is locked the way terminal programs honour: a second analyzer is refused, naming
    # the first, and the first leaves no lock behind.
    if not PLUG:
        return
    with plug_ports("--count", "1") as prefix:
        lock = "/run/lock/LCK.." + os.path.realpath(prefix + "3")[len("/dev/"):].replace("/", "_")
        args = ["-d", prefix, "--batch", "-n", "1", "-f", "none"]
        first = subprocess.Popen([ZENTREL, *args, "--seconds", "4"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True)
        deadline = time.time() + 10
        while (not os.path.exists(lock) or os.path.getsize(lock) == 0) and time.time() < deadline:
            time.sleep(0.05)
        with open(lock) as f:
            check(f.read() == "%10d\n" % first.pid, "the lock file names the analyzer in ten characters")
        rc, out, err = run(*args, "--seconds", "2")
        check(rc == 2 and f"in use by PID {first.pid} (zentrel)" in err, "a second analyzer is refused naming the first",
              f"rc={rc}\n{err}")
        out, err = first.communicate(timeout=60)
        check(first.returncode == 0, "the first analyzer runs undisturbed", f"rc={first.returncode}\n{out}{err}")
        check(not os.path.exists(lock), "its lock file is gone after the run")


def listing_and_rates():
    # --list reads the system's ports; with -d it finds the plug's and suggests them. A rate outside the
    # Speed menu runs at its capacity, the plug pacing the line at it.
    rc, out, err = run("--list", "--json")
    check(rc == 0 and json.loads(out)["type"] == "ports", "--list --json on this machine", f"{out}{err}")
    if not PLUG:
        return
    with plug_ports("--count", "2") as prefix:
        rc, out, err = run("--list", "-d", prefix)
        check(rc == 0 and f"zentrel -d {prefix} -n 2 3" in out, "the plug's ports suggested", out + err)
        run_p = subprocess.Popen([ZENTREL, "-d", prefix, "--batch", "--seconds", "6", "-n", "1", "-b", "250000",
                                  "-f", "none", "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.5)
        rc, out, err = run("--list", "--json", "-d", prefix)
        ports = {p["path"]: p for p in json.loads(out)["ports"]} if rc == 0 else {}
        p3, p4 = ports.get(prefix + "3", {}), ports.get(prefix + "4", {})
        check(p3.get("driver") == "pty_slave" and p3.get("in_use") and p3.get("locked"),
              "a port in a run is in use", out + err)
        check(p4.get("in_use") is False and p4.get("wired_by"), "the plug is the far end, not a user", out)
        out, err = run_p.communicate(timeout=60)
        check(run_p.returncode == 0, "a 250000 baud run on the plug exits 0", f"rc={run_p.returncode} {err}")
        objs = [json.loads(l) for l in out.splitlines()]
        s = objs[-1] if objs else {}
        # Received over the run, as the summary gives it per port (the printed samples' times are the
        # printing's, not the monitor's). Paced at 250000 baud: never above its 25000 cps, and far above
        # 115200's 11520 even when a loaded machine starves the plug now and then.
        cps = s.get("port_totals", [{}])[0].get("rcv_rate", 0)
        check(17500 <= cps <= 26000, "received at 250000 baud's 25000 cps", f"{cps} {out}")
        check(s.get("baud") == 250000 and set(s.get("line_errors", {}).values()) == {"not available"},
              "ptys keep no line-error counts", str(s))


def repeated_runs():
    # Ten runs in a row on the same plug ports, every other one ended by SIGTERM mid-flight: what a run
    # leaves on its lines must not reach the next one, so every run is clean.
    if not PLUG:
        return
    with plug_ports("--count", "2") as prefix:
        for i in range(10):
            args = [ZENTREL, "-d", prefix, "-n", "2", "-f", ("none", "xonxoff")[i // 2 % 2], "--batch"]
            if i % 2:
                p = subprocess.Popen(args + ["3"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                time.sleep(1.6 + 0.1 * i)
                p.send_signal(signal.SIGTERM)
                out, err = p.communicate(timeout=30)
                rc = p.returncode
            else:
                rc, out, err = run(*args[1:], "--seconds", "2", "3")
            check(rc == 0 and "Data errors:   0" in out, f"run {i + 1} on the same ports is clean",
                  f"rc={rc}\n{out}{err}")


# The verdict matrix: each row runs once per output (text, JSON, CSV); the exit code, JSON "passed", the
# CSV "passed" column and the text's Result line must agree, and name the same failing ports and reasons.
VERDICT_ROWS = [
    # (board, extra args, seconds, {port: reason that must be named})
    ("", ["-n", "2", "--format", "7E1"], 3, {}),
    ("wiring=open", ["-n", "2", "-f", "none"], 3, {"COM3": "no data received", "COM4": "no data received"}),
    ("wiring=open", ["-n", "2", "-f", "rtscts"], 3, {"COM3": "no data received", "COM4": "no data received"}),
    ("3:drop=1000", ["-n", "2", "-f", "none", "--no-verify"], 3, {"COM3": "data lost"}),
    ("3:drop=65536", ["-n", "1", "-f", "none"], 7, {"COM3": "data lost"}),
    ("4:unplug=1500", ["-n", "2", "-f", "none"], 3, {"COM4": "device gone"}),
    ("3:status-hang", ["-n", "2"], 3, {"COM3": "not measured"}),
    ("3:slow=3000", ["-n", "2"], 4, {"COM3": "overloaded"}),
    ("3:noise=3000", ["-n", "1", "-f", "none"], 3, {"COM3": "data errors"}),
    ("3:frame=20000", ["-n", "1", "-f", "none", "--no-verify"], 3, {"COM3": "line errors"}),
]


def verdict_row(row):
    board, extra, secs, named = row
    base = [f"--virtual={board}" if board else "--virtual", "--batch", "--seconds", str(secs), *extra]
    what = f"[{board or 'clean'} {' '.join(extra)}]"
    want_rc = 1 if named else 0
    rc_t, out_t, err_t = run(*base)
    rc_j, out_j, err_j = run(*base, "--json")
    rc_c, out_c, err_c = run(*base, "--csv")
    for fmt, rc, err in (("text", rc_t, err_t), ("JSON", rc_j, err_j), ("CSV", rc_c, err_c)):
        check(rc == want_rc, f"{what} {fmt} run exits {want_rc}", f"rc={rc} {err}")
    # JSON: passed follows the exit code; the failing ports and their reasons.
    s = json.loads(out_j.splitlines()[-1]) if out_j.strip() else {}
    check(s.get("passed") is (rc_j == 0), f"{what} JSON passed agrees with the exit code", str(s))
    asked = extra[extra.index("--format") + 1] if "--format" in extra else "8N1"
    check(s.get("format") == asked, f"{what} JSON names the line format", str(s.get("format")))
    failing = {p["port"]: p["reasons"] for p in s.get("port_totals", []) if not p["passed"]}
    check(set(failing) == set(named), f"{what} JSON names the failing ports", str(failing))
    for port, reason in named.items():
        check(reason in failing.get(port, []), f"{what} JSON gives {port}'s reason '{reason}'", str(failing))
    # CSV: the summary rows carry passed and the reasons.
    rows = [r for r in csv.reader(io.StringIO(out_c, newline="")) if r and r[0] == "summary"]
    if rows:
        head = rows[0]
        recs = [dict(zip(head, r)) for r in rows[1:]]
        check(recs and recs[0]["port"] == "all" and recs[0]["passed"] == ("true" if rc_c == 0 else "false")
              and all(r["format"] == asked for r in recs),
              f"{what} CSV passed agrees with the exit code", out_c[-800:])
        csv_failing = {r["port"]: r["reasons"] for r in recs[1:] if r["passed"] == "false"}
        check(set(csv_failing) == set(named), f"{what} CSV names the failing ports", str(csv_failing))
        for port, reason in named.items():
            check(reason in csv_failing.get(port, ""), f"{what} CSV gives {port}'s reason", str(csv_failing))
    else:
        check(False, f"{what} CSV has summary rows", out_c[-800:])
    # Text: the Result line, and each failing port's row in the totals table names its reason.
    check(f"Result: {'pass' if rc_t == 0 else 'FAIL'}" in out_t, f"{what} text Result agrees", out_t[-1500:])
    # The margin, in every output; the slow port's queue stands at its Xon/Xoff high mark (512 short of full).
    check("Headroom: worst " in out_t and s.get("headroom", "").startswith("Headroom: worst ") and
          all(p.get("rx_queue_size") == 4096 for p in s.get("port_totals", [])), f"{what} headroom", out_t[-1500:])
    if board == "3:slow=3000":
        check("Headroom: worst COM3, receive queue 87% full, longest read gap " in out_t, f"{what} margin", out_t)
    table = {l.split()[0]: l for l in out_t.splitlines() if l.split() and l.split()[0] in ("COM3", "COM4")
             and len(l.split()) >= 7}
    for port, reason in named.items():
        check(reason in table.get(port, ""), f"{what} text names {port}'s reason", out_t[-1500:])


def verdicts():
    with ThreadPoolExecutor(max_workers=2) as ex:
        for f in [ex.submit(verdict_row, r) for r in VERDICT_ROWS]:
            f.result()
    # The totals table and the received rate in the samples.
    rc, out, err = run("--virtual=3:drop=1000", "--batch", "--seconds", "3", "-n", "2", "-f", "none", "--json")
    objs = [json.loads(l) for l in out.splitlines()]
    s = objs[-1] if objs else {}
    totals = s.get("port_totals", [{}, {}])
    check(s.get("drain") == "exact" and totals[0].get("lost") == totals[0].get("sent", 0) - totals[0].get("received", 0) > 30
          and totals[1].get("lost") == 0, "lost = sent - received, 0 on the clean port", str(totals))
    check(all(isinstance(p.get("rcv_rate"), int) for o in objs[:-1] for p in o["ports"]),
          "samples give the received rate", out)


def starved():
    # Sixteen ports at 921600 squeezed onto one core beside two busy loops that outweigh them: every
    # port's worker still gets its share (every port receives), and the verdict says what happened.
    if not shutil.which("taskset"):
        return
    hogs = [subprocess.Popen(["taskset", "-c", "0", sys.executable, "-c", "while True: pass"]) for _ in range(2)]
    try:
        p = subprocess.run(["taskset", "-c", "0", "nice", "-n", "10", ZENTREL, "--virtual", "--batch", "--seconds",
                            "4", "-b", "921600", "--json"], capture_output=True, text=True, timeout=120)
    finally:
        for h in hogs:
            h.kill()
            h.wait()
    objs = [json.loads(l) for l in p.stdout.splitlines()]
    s = objs[-1] if objs else {}
    check(s.get("type") == "summary" and s.get("no_data_received") == [], "a starved run still moves every port",
          p.stdout[-2000:] + p.stderr)
    check((p.returncode == 0) == (s.get("passed") is True), "the exit code follows the verdict",
          f"rc={p.returncode} {s}")
    check(p.returncode == 0 or s.get("overloaded") or s.get("data_errors") or s.get("queue_overruns"),
          "a failed starved run says why", str(s))


# ZENTREL_BATCH_PART: "main" (everything but the starved run), "starved" (that run alone: it loads a core on
# purpose, so ctest runs it by itself, away from the tests that judge rates), or unset for both.
PART = os.environ.get("ZENTREL_BATCH_PART", "")
if PART != "starved":
    with ThreadPoolExecutor(max_workers=2) as ex:
        for f in [ex.submit(t) for t in (json_run, text_run, missing_first, missing_later, not_as_asked, line_errors,
                                         csv_run, clamped_count, usage_errors, interrupted, closed_output,
                                         device_files, two_analyzers, listing_and_rates, repeated_runs)]:
            f.result()
    verdicts()
if PART != "main":
    starved()

for f in failures:
    print("FAIL:", f)
sys.exit(1 if failures else 0)

#!/usr/bin/env python3
"""Soak: long batch runs at 921600 baud on 16 ports, on the virtual board and on the pty plug.

Every minute (--every) it prints per run: the errors so far (data errors + queue overruns; must stay 0),
the received rate over the last minute and its share of the lines' capacity, the margin so far (the
port whose receive queue came closest to full, and the longest gap between two reads of any port), the
CPU the analyzer (and the plug) used over that minute, and the resident memory with its growth since
the first minute. At the end: the run's own verdict, its headroom line and exit code. Exits 0 only when
every run was clean.

  bench/soak.py [--minutes 60] [--every 60] [--boards virtual,plug] [--build build/release] [--config CFG]
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HZ = os.sysconf("SC_CLK_TCK")
lock = threading.Lock()


def say(line):
    with lock:
        print(line, flush=True)


def cpu_ticks(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime
    except OSError:
        return 0


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def margin(ports):
    """The run's margin so far: the fullest receive queue (share of its size) and the longest read gap."""
    def share(q):
        size = q.get("rx_queue_size")
        return q.get("rx_queue_peak", 0) / size if size else 0
    worst = max(ports, key=share)
    gap = max(q.get("read_gap_max_ms", 0) for q in ports)
    size = worst.get("rx_queue_size")
    # Whole percents, truncated as the program's own headroom line shows them.
    fill = f"{int(share(worst) * 100):3d}% ({worst.get('rx_queue_peak', 0)} of {size})" if size else "size unknown"
    return f"queue peak {worst['port']} {fill}, read gap {gap} ms"


def soak(name, cmd, args, helper=None):
    """Runs one batch run and reports on it every args.every seconds; returns True when clean."""
    capacity = 16 * 92160
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    pids = [("zentrel", p.pid)] + ([("plug", helper.pid)] if helper else [])
    last_t = time.monotonic()
    last_cpu = {n: cpu_ticks(pid) for n, pid in pids}
    rss0 = {}
    last_rcv = None
    next_report = args.every
    summary = None
    errors = 0
    say(f"{name}: {' '.join(cmd)}")
    for line in p.stdout:
        try:
            o = json.loads(line)
        except json.JSONDecodeError:
            continue
        if o.get("type") == "summary":
            summary = o
            continue
        if o.get("type") != "sample":
            continue
        ports = o["ports"]
        errors = sum(q["errs"] + q["ovlds"] for q in ports)
        rcv = sum(q["rcv"] for q in ports)
        elapsed = o["elapsed_ms"] / 1000
        if last_rcv is None:
            last_rcv, last_elapsed = rcv, elapsed
        if elapsed + 0.5 < next_report:
            continue
        next_report += args.every
        now = time.monotonic()
        rate = (rcv - last_rcv) / max(elapsed - last_elapsed, 1e-9)
        parts = [f"{name} {elapsed / 60:6.1f} min: errors {errors}, rate {rate:9.0f} cps "
                 f"({rate * 100 / capacity:6.2f}%)", margin(ports)]
        for n, pid in pids:
            cpu = cpu_ticks(pid)
            pct = (cpu - last_cpu[n]) / HZ / (now - last_t) * 100
            last_cpu[n] = cpu
            rss = rss_kib(pid)
            rss0.setdefault(n, rss)
            parts.append(f"{n} CPU {pct:5.1f}% RSS {rss} KiB ({rss - rss0[n]:+d})")
        say(", ".join(parts))
        last_t, last_rcv, last_elapsed = now, rcv, elapsed
    p.wait()
    err = p.stderr.read().strip()
    if err:
        say(f"{name} stderr: {err}")
    if summary is None:
        say(f"{name}: no summary, exit {p.returncode}")
        return False
    clean = p.returncode == 0 and summary.get("data_errors") == 0 and summary.get("queue_overruns") == 0
    say(f"{name} summary: exit {p.returncode}, average {summary.get('average_cps')} cps "
        f"({summary.get('percent')}%), data errors {summary.get('data_errors')}, "
        f"queue overruns {summary.get('queue_overruns')}, passed {summary.get('passed')}, "
        f"drain {summary.get('drain')}: {'clean' if clean else 'NOT CLEAN'}")
    say(f"{name} {summary.get('headroom')}")
    return clean


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--minutes", type=float, default=60, help="length of each run (default 60)")
    ap.add_argument("--every", type=float, default=60, help="seconds between reports (default 60)")
    ap.add_argument("--boards", default="virtual,plug", help="virtual, plug or both (run side by side)")
    ap.add_argument("--build", default="build/release", help="build folder with zentrel and the plug")
    ap.add_argument("--config", default="", help="the virtual board's configuration (e.g. queue=65536, for a "
                    "machine too busy to serve 4 KiB queues at 921600 in time)")
    args = ap.parse_args()
    zentrel = os.path.join(args.build, "zentrel")
    plug_exe = os.path.join(args.build, "tools", "plug", "zentrel-plug")
    seconds = str(max(1, int(args.minutes * 60)))
    common = ["--batch", "--json", "--seconds", seconds, "-n", "16", "-b", "921600", "-f", "none"]
    jobs, results, plug, tmp = [], {}, None, None
    boards = args.boards.split(",")
    if "plug" in boards:
        tmp = tempfile.mkdtemp(prefix="zentrel-soak-")
        plug = subprocess.Popen([plug_exe, "--dir", tmp, "--count", "16"], stdout=subprocess.PIPE, text=True)
        plug.stdout.readline()
        jobs.append(("plug", [zentrel, "-d", tmp + "/ttyV", *common, "3"], plug))
    if "virtual" in boards:
        board = "--virtual=" + args.config if args.config else "--virtual"
        jobs.append(("virtual", [zentrel, board, *common], None))
    threads = [threading.Thread(target=lambda j=j: results.update({j[0]: soak(j[0], j[1], args, j[2])}))
               for j in jobs]
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        if plug:
            plug.send_signal(signal.SIGTERM)
            plug.communicate(timeout=30)
            shutil.rmtree(tmp, ignore_errors=True)
    ok = bool(results) and all(results.values())
    verdicts = ", ".join(f"{k} {'clean' if v else 'NOT CLEAN'}" for k, v in results.items())
    say(f"soak: {verdicts}")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()

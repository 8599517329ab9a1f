#!/usr/bin/env python3
"""The UART rig: boots a small QEMU guest with four pci-serial-4x cards (16 x 16550A, ttyS4..ttyS19), runs
the program's batch runs and the probe inside it (tools/uart/guest-init.sh), wires the ports from the host
side as the guest asks, judges what came back, prints it, and ends with the guest's status.

    rig.py BUILD_DIR KERNEL OUT_DIR [--time-limit S]

Wiring: every port's line is a unix socket to the relay here, which drops what arrives (off), echoes it
(an external loopback plug, optionally paced at baud/10 bytes per second), or crosses pairs of ports
(null modem: 4-5, 6-7, ..., optionally paced as well). The emulated UART itself does not pace its lines.
"""
import argparse
import json
import os
import re
import selectors
import shutil
import socket
import subprocess
import sys
import threading
import time

PORTS = list(range(4, 20))


# ---- Initramfs -----------------------------------------------------------------------------------------
def libs_of(binary):
    out = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    return re.findall(r"(/\S+\.so[.\d]*)", out)


def build_initramfs(build, out, init="guest-init.sh", extra=()):
    """extra: (host file, path in the guest) pairs, e.g. kernel modules."""
    root = os.path.join(out, "root")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "bin"))
    shutil.copy("/bin/busybox", os.path.join(root, "bin/busybox"))
    applets = subprocess.run(["/bin/busybox", "--list"], capture_output=True, text=True, check=True).stdout.split()
    for a in applets:
        if a != "busybox":
            os.symlink("busybox", os.path.join(root, "bin", a))
    here = os.path.dirname(os.path.abspath(__file__))
    shutil.copy(os.path.join(here, init), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "guest-boot.sh"), root)
    for src, dst in extra:
        os.makedirs(os.path.dirname(root + dst), exist_ok=True)
        shutil.copy(src, root + dst)
    bins = [os.path.join(build, "zentrel"), os.path.join(build, "tools/uart/zentrel-uart-probe")]
    libs = set()
    for b in bins:
        shutil.copy(b, root)
        libs.update(libs_of(b))
    for lib in libs:
        dst = root + lib
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy(os.path.realpath(lib), dst)
    image = os.path.join(out, "initrd.gz")
    with open(image, "wb") as f:
        files = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
        cpio = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=files,
                              capture_output=True, check=True).stdout
        f.write(subprocess.run(["gzip", "-1"], input=cpio, capture_output=True, check=True).stdout)
    return image


# ---- The relay: the cables on the host side ----------------------------------------------------------
class Relay(threading.Thread):
    """backlog: how much echo it holds for a port before it stops reading that line; None: no limit, for
    lines whose emulation freezes the whole guest while the host side does not read (usb-serial)."""

    def __init__(self, sock_dir, ports=PORTS, backlog=65536):
        super().__init__(daemon=True)
        self.lock = threading.Lock()
        self.mode, self.rate = "off", 0
        self.ports, self.backlog = list(ports), backlog
        self.listeners = {}
        self.conns = {}
        self.outbuf = {n: bytearray() for n in self.ports}
        self.tokens = {n: 0.0 for n in self.ports}
        self.stop = False
        for n in self.ports:
            path = os.path.join(sock_dir, f"s{n}")
            if os.path.exists(path):
                os.unlink(path)
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.bind(path)
            s.listen(1)
            self.listeners[n] = (s, path)

    def accept_all(self, timeout):
        for n, (s, _) in self.listeners.items():
            s.settimeout(timeout)
            c, _ = s.accept()
            # Little in flight towards the guest: less left over when the wiring changes.
            c.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
            c.setblocking(False)
            self.conns[n] = c

    def partner(self, n):
        return n + 1 if (n - self.ports[0]) % 2 == 0 else n - 1

    def set_wiring(self, wiring):
        mode, _, rate = wiring.partition(":")
        with self.lock:
            self.mode, self.rate = mode, int(rate or 0)
            # What the previous wiring still held is no longer on any line.
            for n, c in self.conns.items():
                self.outbuf[n].clear()
                self.tokens[n] = 0.0
                try:
                    while c.recv(65536):
                        pass
                except BlockingIOError:
                    pass

    def run(self):
        last = time.monotonic()
        while not self.stop:
            with self.lock:
                now = time.monotonic()
                dt, last = now - last, now
                paced = self.mode in ("plug", "null") and self.rate
                for n, c in self.conns.items():
                    limit = 65536
                    if paced:
                        cps = self.rate / 10.0
                        # A bucket of 250 ms: a late pass of this loop (the host is busy) loses nothing.
                        self.tokens[n] = min(self.tokens[n] + dt * cps, max(cps * 0.25, 16.0))
                        limit = int(self.tokens[n])
                    if limit > 0 and (self.backlog is None or len(self.outbuf[n]) < self.backlog):
                        try:
                            data = c.recv(limit)
                        except BlockingIOError:
                            data = b""
                        except OSError:
                            data = b""
                        if paced:
                            self.tokens[n] -= len(data)
                            # An idle line saves no credit for a burst later.
                            if len(data) < limit:
                                self.tokens[n] = min(self.tokens[n], 16.0)
                        if data and self.mode == "plug":
                            self.outbuf[n] += data
                        elif data and self.mode == "null":
                            self.outbuf[self.partner(n)] += data
                    if self.outbuf[n]:
                        try:
                            k = c.send(self.outbuf[n])
                            del self.outbuf[n][:k]
                        except (BlockingIOError, OSError):
                            pass
            time.sleep(0.0005 if self.mode != "off" else 0.005)


# ---- Judging the guest's output ---------------------------------------------------------------------
def kernel_counts(lines):
    """Per ttyS number: rx, bo (buffer overruns) and oe (hardware overruns) from /proc/tty/driver/serial."""
    out = {}
    for line in lines:
        m = re.match(r"\s*(\d+):", line)
        if not m:
            continue
        vals = {k: int(v) for k, v in re.findall(r"(\w+):(\d+)", line)}
        out[int(m.group(1))] = vals
    return out


class Case:
    def __init__(self, name):
        self.name = name
        self.rc = None
        self.samples, self.summary, self.objects = [], None, []
        self.stderr, self.other, self.before, self.after = [], [], [], []
        self.start, self.seconds = 0.0, None

    def last_ports(self):
        return self.samples[-1]["ports"] if self.samples else []

    def overrun_delta(self, port):
        b, a = kernel_counts(self.before).get(port, {}), kernel_counts(self.after).get(port, {})
        return sum(a.get(k, 0) - b.get(k, 0) for k in ("bo", "oe"))


def totals(k):
    """Each port's verdict from the run's summary: {port: reasons}, an empty list for a port that passed."""
    return {p["port"]: ([] if p["passed"] else p["reasons"]) for p in (k.summary or {}).get("port_totals", [])}


def ttys(first, count):
    return [f"ttyS{n}" for n in range(first, first + count)]


def judge(cases, only=None):
    """One line per check: (name, ok, what was seen). With `only`, checks on cases that did not run
    are left out."""
    res, used, last = [], [], []

    def add(name, ok, seen):
        # A check on the case of the check before it reads no case anew.
        names = list(used or last)
        if not only or any(n in only for n in names):
            res.append((name, bool(ok), seen))
        last[:] = names
        used.clear()

    def c(name):
        used.append(name)
        return cases.get(name) or Case(name)

    def rcv_line(k):
        return " ".join(f"{p['port']}={p['rcv']}" for p in k.last_ports())

    def silent(k):
        """Ports that received nothing: the program's own verdict where it gives one, else the last sample."""
        named = (k.summary or {}).get("no_data_received")
        last = [p["port"] for p in k.last_ports() if not p["rcv"]]
        return sorted(set(last) | set(named or []))

    def passed(k, ports):
        """Exit 0, the summary's verdict a pass, and exactly these ports judged, each passing."""
        t = totals(k)
        return k.rc == 0 and (k.summary or {}).get("passed") is True and list(t) == ports and \
            not any(t.values())

    def verdict_line(k):
        t = totals(k)
        failing = {p: r for p, r in t.items() if r}
        return f"rc={k.rc} passed={(k.summary or {}).get('passed')} ports={len(t)} failing={failing or 'none'}"

    def refused(k, words):
        """Exit 2, the first line naming the port, the second the reason."""
        return k.rc == 2 and len(k.stderr) >= 2 and all(w in k.stderr[1] for w in words)

    k = c("facts")
    bad = [l for l in k.other if " FAIL " in l]
    woke = [l for l in k.other if "tiocmiwait-in-loop wakes" in l]
    add("probe: 16 UARTs, loop bit, counters, rate above base", k.rc == 0 and not bad,
        f"rc={k.rc} {len([l for l in k.other if ' uart ok' in l])}x16550A; failures: {bad[:3]}; "
        f"TIOCMIWAIT in loop mode woke on {len(woke)} ports")

    k = c("list")
    lst = k.objects[0] if k.objects else {}
    ports = {p.get("path"): p for p in lst.get("ports", [])}
    s0, s1, s4 = (ports.get(f"/dev/ttyS{n}", {}) for n in (0, 1, 4))
    sugg = [{key: x.get(key) for key in ("prefix", "first", "count")} for x in lst.get("suggestions", [])]
    add("--list: the cards' 16550As, the console in use, legacy slots marked, the run suggested",
        k.rc == 0 and s0.get("console") and s0.get("in_use") and s1.get("placeholder")
        and (s4.get("uart"), s4.get("base_baud"), s4.get("bus")) == ("16550A", 115200, "pci")
        and {"prefix": "/dev/ttyS", "first": 4, "count": 16} in sugg,
        f"rc={k.rc} ttyS0={s0} ttyS1 placeholder={s1.get('placeholder')} ttyS4={s4} suggestions={sugg}")

    k = c("loop16")
    le = (k.summary or {}).get("line_errors", {})
    add("the driver's line-error counts are read (numbers, not 'not available')",
        le and all(isinstance(v, int) for v in le.values()), f"line_errors={le}")
    # On one slow virtual CPU sixteen unpaced loops still keep up: every port passes, exit 0.
    add("1. all 16 UARTs found and opened, -l accepted, each loop passes (exit 0)", passed(k, ttys(4, 16)),
        f"{verdict_line(k)} wiring={(k.summary or {}).get('wiring')}")
    k2 = c("missing")
    add("1. ttyS20 (no UART) fails with exit 2, saying why", refused(k2, ["no device"]) and "ttyS20" in k2.stderr[0],
        f"rc={k2.rc} stderr={k2.stderr}")
    k2 = c("console")
    add("1. the console (ttyS0) is refused with exit 2, saying so", refused(k2, ["the system console"]),
        f"rc={k2.rc} stderr={k2.stderr}")

    k = c("loop16")
    s = silent(k)
    add("2. internal loopback x16 at 115200: every port receives", not s and k.rc == 0,
        f"rc={k.rc} silent={s} rcv: {rcv_line(k)}")
    sil = [c(n) for n in ("loop16", "unwired") if c(n).rc == 0 and silent(c(n))]
    add("2. never exit 0 with ports that received nothing", not sil, f"offending runs: {[x.name for x in sil]}")

    for name in ("loop16", "overruns"):
        k = c(name)
        missed, counted = [], []
        for p in k.last_ports():
            n = int(re.sub(r"\D", "", p["port"]) or -1)
            d = k.overrun_delta(n)
            if d:
                counted.append(f"{p['port']}:kernel={d}/ovlds={p['ovlds']}")
                if not p["ovlds"]:
                    missed.append(p["port"])
        qo = k.summary["queue_overruns"] if k.summary else None
        add(f"3. {name}: kernel buffer/hardware overruns reported as queue overruns",
            k.summary and not missed and (counted or name != "overruns"),
            f"rc={k.rc} summary queue_overruns={qo}; ports with kernel overruns: {counted or 'none'}; "
            f"missed: {missed}")
    # What the kernel dropped breaks the pattern, leaves the drain short and overran the queue (which
    # the verdict also calls overloaded). The neighbour passes, unless the kernel dropped its input too:
    # when the program resumes, reading ttyS4's backlog on the one slow CPU, ttyS5's unpaced loop can
    # outrun its reader (seen in two of four full runs); then it fails for exactly the same reasons.
    k = c("overruns")
    t = totals(k)
    # What the kernel dropped is named as overruns and line errors; what the count comes to besides
    # depends on when the backlog was read: lost, or (bytes of the flood read after its identification)
    # more than was sent. Nothing else.
    must = {"queue overruns", "line errors"}
    may = must | {"data lost", "more received than sent", "data errors", "overloaded"}

    def dropped(reasons):
        return must <= set(reasons) <= may

    add("3. overruns: exit 1, ttyS4 fails for the dropped input; ttyS5 passes or its input was dropped too",
        k.rc == 1 and dropped(t.get("ttyS4") or []) and list(t) == ["ttyS4", "ttyS5"] and
        (t["ttyS5"] == [] or (dropped(t["ttyS5"]) and k.overrun_delta(5) > 0)),
        f"{verdict_line(k)}; kernel overruns ttyS4={k.overrun_delta(4)} ttyS5={k.overrun_delta(5)}")

    for name in ("rtscts", "dtrdsr"):
        k = c(name)
        restored = [l for l in k.other if " restored " in l]
        add(f"4. {name} with internal loopback accepted: every port passes (exit 0), settings and DTR/RTS restored",
            passed(k, ttys(4, 4)) and restored and all(" restored ok " in l for l in restored),
            f"{verdict_line(k)} rcv: {rcv_line(k)}; {restored}")
    # The format the driver programmed into the UART: its line control register read during the run
    # (DLAB, bit 7, clear: the divisor latch closed again), with the termios the driver held then; after
    # the run the register is back at what the probe's 7E2 settings gave the closed port (0x1e). The
    # driver sets even parity (bit 4) whenever PARODD is clear: without parity enable (bit 3) it means
    # nothing, so 8N1 is 0x13 and 8N2 0x17.
    for name, fmt, lcr, first, n in (("rtscts", "8N1", 0x13, 4, 4), ("format-7E1", "7E1", 0x1A, 12, 2),
                                     ("format-8N2", "8N2", 0x17, 12, 2)):
        k = c(name)
        regs = [m.groups() for m in (re.match(r"probe (\S+) lcr base=\S+ seen=(\S+) during=(\S+) termios=(.*)", l)
                                     for l in k.other) if m]
        restored = [l for l in k.other if " restored " in l]
        par = {"N": "-parenb -parodd -cmspar", "E": "parenb -parodd -cmspar", "O": "parenb parodd -cmspar",
               "M": "parenb parodd cmspar", "S": "parenb -parodd cmspar"}[fmt[1]]
        words = f"cs{fmt[0]} {par} {'-cstopb' if fmt[2:] == '1' else 'cstopb'}"

        def reg(v):
            return None if v == "none" else int(v, 16)

        def port_ok(seen, during, termios):
            vals = [reg(v) for v in seen.split(">")]
            return reg(during) == lcr and termios == words and vals[0] == vals[-1] == 0x1E

        add(f"8. {name} ({fmt}): every port passes (exit 0), its data compared, the format named; LCR {lcr:#04x} (DLAB 0) and "
            f"termios {words} during the run; LCR 0x1e and the settings restored after",
            passed(k, ttys(first, n)) and (k.summary or {}).get("data_compared") is True
            and (k.summary or {}).get("format") == fmt
            and [r[0] for r in regs] == [f"/dev/{p}" for p in ttys(first, n)]
            and all(port_ok(*r[1:]) for r in regs)
            and len(restored) == n and all(" restored ok " in l for l in restored),
            f"{verdict_line(k)} format={(k.summary or {}).get('format')} "
            f"data_compared={(k.summary or {}).get('data_compared')}; "
            + "; ".join(f"{p} LCR {s} during {d} (DLAB {(reg(d) or 0) >> 7}) termios {t}" for p, s, d, t in regs)
            + f"; restored ok {sum(' restored ok ' in l for l in restored)}/{len(restored)}")
    k = c("dsrhold")
    add("4. DTR/DSR emulation holds and releases the transmitter", k.rc == 0, f"rc={k.rc} {k.other}")

    k, r, f = c("fast-refused"), c("raise-base"), c("fast-runs")
    add("5. 921600 above baud_base refused: exit 2, the second line naming the rate",
        refused(k, ["921600"]) and "ttyS4" in k.stderr[0], f"rc={k.rc} stderr={k.stderr}")
    add("5. after TIOCSSERIAL raises baud_base the run passes (exit 0)", r.rc == 0 and passed(f, ["ttyS4"]),
        f"baud-base rc={r.rc}; run {verdict_line(f)} rcv: {rcv_line(f)}")

    pairs = {f"ttyS{n}": f"ttyS{n ^ 1}" for n in range(4, 8)}
    k = c("null")
    add("6. null-modem pairs, --wiring=pairs: each port mapped to its partner, every port passes (exit 0)",
        passed(k, ttys(4, 4)) and (k.summary or {}).get("wiring") == pairs and
        (k.summary["data_errors"], k.summary["queue_overruns"]) == (0, 0),
        f"{verdict_line(k)} drain={(k.summary or {}).get('drain')} wiring={(k.summary or {}).get('wiring')}")
    k = c("null-as-loop")
    t = totals(k)
    add("6. null-modem pairs, --wiring=loopback: exit 1, every port failing for its wiring alone",
        k.rc == 1 and (k.summary or {}).get("wiring") == pairs and list(t) == ttys(4, 4)
        and all(r == ["wiring"] for r in t.values()),
        f"{verdict_line(k)} wiring={(k.summary or {}).get('wiring')}")
    k = c("plug")
    add("6. external loopback plugs, --wiring=loopback: each port mapped to itself, every port passes (exit 0)",
        passed(k, ttys(12, 4)) and (k.summary or {}).get("wiring") == {p: p for p in ttys(12, 4)},
        f"{verdict_line(k)} wiring={(k.summary or {}).get('wiring')}")
    for name, n in (("paced115200", 4), ("paced9600", 16)):
        k = c(name)
        pct = k.summary["percent"] if k.summary else None
        add(f"6. {name}: every port passes (exit 0), within 2% of capacity",
            passed(k, ttys(4, n)) and pct is not None and abs(pct - 100) <= 2,
            f"{verdict_line(k)} percent={pct} cps={k.summary and k.summary['average_cps']}")

    k = c("unwired")
    add("6. an unwired port: exit 1, ttyS9 named 'no data received' and nothing else",
        k.rc == 1 and totals(k) == {"ttyS9": ["no data received"]}
        and (k.summary or {}).get("no_data_received") == ["ttyS9"], f"{verdict_line(k)} rcv: {rcv_line(k)}")

    k = c("unplug-late")
    t = totals(k)
    gone = {p["port"]: p["gone_at_s"] for p in (k.summary or {}).get("port_totals", []) if p["gone_at_s"] is not None}
    removed = ttys(16, 4)
    add("7. the last card removed 1-2 s before the end of a 4 s run: exit 1, its four ports 'device gone' "
        "with their second, the other card's pass",
        k.rc == 1 and list(t) == ttys(12, 8) and all(t[p] == ["device gone"] for p in removed)
        and all(t[p] == [] for p in ttys(12, 4)) and sorted(gone) == removed
        and all(1 <= s <= 3 for s in gone.values()) and (k.summary or {}).get("gone") == removed,
        f"{verdict_line(k)} gone at (s): {gone}; stderr: {sorted(set(k.stderr))}")
    return res


# ---- The machine -------------------------------------------------------------------------------------
def qemu_base(kernel, initrd, mon_path, append):
    """The guest without devices: one CPU, TCG, the console on stdio, the monitor on a unix socket."""
    return ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-machine", "pc,accel=tcg", "-cpu", "qemu64",
            "-smp", "1", "-m", "512", "-display", "none", "-no-reboot", "-nic", "none", "-serial", "stdio",
            "-monitor", f"unix:{mon_path},server=on,wait=off", "-kernel", kernel, "-initrd", initrd,
            "-append", append]


def run_guest(cmd, relay, mon_path, time_limit, t0, out):
    """Boots the guest, serves its requests (@@wire, @@unplug) and collects its cases until it ends.
    Returns (cases, status text, completed)."""
    qemu = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    timed_out = threading.Event()

    def kill_late():
        try:
            qemu.wait(time_limit)
        except subprocess.TimeoutExpired:
            timed_out.set()
            qemu.kill()

    threading.Thread(target=kill_late, daemon=True).start()
    try:
        relay.accept_all(30)
    except OSError as e:
        qemu.kill()
        print(qemu.stdout.read().decode("utf-8", "replace"))
        print(f"rig: the guest's lines never connected to the relay ({e})")
        return {}, "did not start", False
    relay.start()
    print(f"rig: guest started ({time.monotonic() - t0:.1f}s), time limit {time_limit}s", flush=True)

    cases, cur, done = {}, None, False
    log = open(os.path.join(out, "guest.log"), "w")
    for raw in qemu.stdout:
        line = raw.decode("utf-8", "replace").rstrip("\r\n")
        log.write(line + "\n")
        if line.startswith("@@wire "):
            # Bytes of the previous wiring still on their way out of the guest are dropped first.
            relay.set_wiring("off")
            time.sleep(0.3)
            relay.set_wiring(line.split()[1])
            print(f"rig: wiring {line.split()[1]}", flush=True)
            qemu.stdin.write(b"ok\n")
            qemu.stdin.flush()
        elif line.startswith("@@unplug "):
            _, dev, ms = line.split()

            def unplug(dev=dev, ms=int(ms)):
                time.sleep(ms / 1000)
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as m:
                    m.connect(mon_path)
                    m.sendall(f"device_del {dev}\n".encode())
                    time.sleep(0.5)
                print(f"rig: device_del {dev} sent", flush=True)

            threading.Thread(target=unplug, daemon=True).start()
        elif line.startswith("@@case "):
            cur = Case(line.split()[1])
            cur.start = time.monotonic()
            cases[cur.name] = cur
            print(f"rig: case {cur.name} ({time.monotonic() - t0:.1f}s)", flush=True)
        elif line.startswith("@@rc ") and cur:
            cur.rc = int(line.split()[2])
            cur.seconds = time.monotonic() - cur.start
            print(f"guest| {cur.name}: exit {cur.rc} ({cur.seconds:.1f}s)", flush=True)
            cur = None
        elif line.startswith("@@before ") and cur:
            cur.before.append(line[9:])
        elif line.startswith("@@after ") and cur:
            cur.after.append(line[8:])
        elif line.startswith("@@stderr ") and cur:
            cur.stderr.append(line[9:])
            print(f"guest| {line[9:]}", flush=True)
        elif line.startswith("@@done"):
            done = True
            print("guest| done", flush=True)
        elif line.startswith("{") and cur:
            try:
                o = json.loads(line)
            except ValueError:
                cur.other.append(line)
                continue
            if o.get("type") == "sample":
                cur.samples.append(o)
            elif o.get("type") == "summary":
                cur.summary = o
                print(f"guest| {line}", flush=True)
            else:
                cur.objects.append(o)
        else:
            if cur:
                cur.other.append(line)
            print(f"guest| {line}", flush=True)
    qemu.wait()
    relay.stop = True
    status = "timed out (wedged guest killed)" if timed_out.is_set() else (
        "completed" if done else f"ended early (qemu exit {qemu.returncode})")
    return cases, status, done and not timed_out.is_set()


def report(title, results, status, completed, elapsed):
    """One PASS/FAIL line per check with what was seen; 0 when the guest completed and all passed."""
    print(f"\n==== {title} ====")
    for name, ok, seen in results:
        print(f"{'PASS' if ok else 'FAIL'}  {name}\n      {seen}")
    failed = sum(not ok for _, ok, _ in results)
    print(f"guest status: {status}; {len(results) - failed}/{len(results)} checks passed; rig time {elapsed:.0f}s")
    return 0 if completed and not failed else 1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("kernel")
    ap.add_argument("out")
    ap.add_argument("--time-limit", type=int, default=420)
    ap.add_argument("--only", help="run only these guest cases (comma-separated)")
    args = ap.parse_args()
    t0 = time.monotonic()
    os.makedirs(args.out, exist_ok=True)
    initrd = build_initramfs(args.build, args.out)
    sock_dir = os.path.join(args.out, "sock")
    os.makedirs(sock_dir, exist_ok=True)
    relay = Relay(sock_dir)
    mon_path = os.path.join(sock_dir, "mon")
    cmd = qemu_base(args.kernel, initrd, mon_path,
                    "console=ttyS0 8250.nr_uarts=32 quiet panic=-1" + (f" rig.only={args.only}" if args.only else ""))
    for card in range(4):
        devs = []
        for i in range(4):
            n = PORTS[card * 4 + i]
            cmd += ["-chardev", f"socket,id=c{n},path={os.path.join(sock_dir, f's{n}')}"]
            devs.append(f"chardev{i + 1}=c{n}")
        cmd += ["-device", f"pci-serial-4x,id=card{card + 1}," + ",".join(devs)]
    cases, status, completed = run_guest(cmd, relay, mon_path, args.time_limit, t0, args.out)
    return report("UART rig results", judge(cases, args.only.split(",") if args.only else None), status, completed, time.monotonic() - t0)


if __name__ == "__main__":
    sys.exit(main())

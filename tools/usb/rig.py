#!/usr/bin/env python3
"""The USB rig: a QEMU guest with sixteen FTDI usb-serial devices behind two hubs (ftdi_sio, /dev/ttyUSB*)
and eight cdc_acm ports made of configfs gadgets on dummy controllers (/dev/ttyACM*, their far ends
/dev/ttyGS* echoed in the guest). Runs the program and the probe there (tools/usb/guest-init.sh), judges
what came back, prints it, and ends with the guest's status.

    rig.py BUILD_DIR KERNEL MODULES_DIR OUT_DIR [--full] [--only CASE,CASE] [--time-limit S]

The host end of every usb-serial line is a unix socket to the UART rig's relay, here without a backlog
limit: QEMU writes a line's output with a blocking call that freezes the whole guest while the host side
does not read. Nothing paces these lines, so rates are not judged: functional checks only.
"""
import argparse
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "uart"))
import rig  # noqa: E402  (the UART rig's initramfs, relay, guest runner and report)

MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio", "cdc-acm", "udc-core",
           "u_serial", "configfs", "libcomposite", "usb_f_acm", "dummy_hcd"]
LINES = list(range(16))  # relay line n: hub n // 8 + 1, port n % 8 + 1
WRAP = 1 << 40            # no honest count of a run comes near this
ACM_HOLDS = 1 << 20       # what an ACM port whose far end reads nothing may take, generously


def numbers(case):
    """Every count the run printed, with where it came from."""
    out = []
    for s in case.samples:
        for p in s.get("ports", []):
            out += [(f"{p['port']}.{k}", p.get(k)) for k in ("xmit", "rcv", "txqueue", "rate", "rcv_rate")]
    sm = case.summary or {}
    out.append(("average_cps", sm.get("average_cps")))
    for p in sm.get("port_totals") or []:
        out += [(f"{p['port']}.{k}", p.get(k)) for k in ("sent", "received", "xmit_rate", "rcv_rate")]
    return [(k, v) for k, v in out if isinstance(v, int)]


def judge(cases, full, gone):
    res = []

    def add(name, ok, seen, k=None):
        t = f" [{k.seconds:.1f}s]" if k is not None and k.seconds is not None else ""
        res.append((name + t, bool(ok), seen))

    def c(name):
        return cases.get(name) or rig.Case(name)

    def silent(k):
        named = (k.summary or {}).get("no_data_received") or []
        return sorted(set(named) | {p["port"] for p in k.last_ports() if not p["rcv"]})

    nu, na = (16, 8) if full else (4, 4)
    k = c("list")
    lst = k.objects[0] if k.objects else {}
    drivers = {}
    for p in lst.get("ports", []):
        m = re.match(r"/dev/(ttyUSB|ttyACM)\d+$", p.get("path", ""))
        if m:
            drivers.setdefault(m.group(1), set()).add(p.get("driver"))
    sugg = {x.get("prefix"): x.get("count") for x in lst.get("suggestions", [])}
    add("--list names ftdi_sio and cdc_acm and suggests both runs",
        k.rc == 0 and drivers.get("ttyUSB") == {"ftdi_sio"} and drivers.get("ttyACM") == {"cdc_acm"}
        and sugg.get("/dev/ttyUSB") == 16 and sugg.get("/dev/ttyACM") == 8,
        f"rc={k.rc} drivers={ {d: sorted(map(str, v)) for d, v in drivers.items()} } suggestions={sugg}", k)

    for name in ("usb-loop", "acm-loop"):
        k = c(name)
        add(f"{name}: internal loopback refused (exit 2), the reason given",
            k.rc == 2 and any("loop" in l for l in k.stderr), f"rc={k.rc} stderr={k.stderr[:3]}", k)

    for name in sorted(n for n in cases if re.match(r"(usb|acm)-\d+-", n)):
        k = cases[name]
        n = nu if name.startswith("usb") else na
        sm = k.summary or {}
        restored = [l for l in k.other if " restored " in l]
        # Unpaced, sixteen lines can take more than one virtual CPU gives: the run then says so (overloaded,
        # exit 1), its errors still 0.
        overloaded = k.rc == 1 and sm.get("overloaded") is True
        ports = [p["port"] for p in k.last_ports()]
        # Unpaced lines run far above capacity: flagged as not paced, and not a failure by itself.
        unflagged = sorted(set(ports) - set(sm.get("not_paced") or []))
        ok = ((k.rc == 0 or overloaded) and sm.get("data_errors") == 0 and sm.get("queue_overruns") == 0
              and len(ports) == n and not silent(k) and not unflagged
              and len(restored) == n and all(" restored ok " in l for l in restored))
        add(f"{name}: {n} ports loop with 0 errors, exit 0, flagged not paced, settings and modem lines restored",
            ok,
            f"rc={k.rc}{' (overloaded)' if overloaded else ''} errors={sm.get('data_errors')} overruns={sm.get('queue_overruns')} "
            f"percent={sm.get('percent')} not paced={len(ports) - len(unflagged)}/{len(ports)} silent={silent(k)} restored ok={sum(' restored ok ' in l for l in restored)}"
            f"/{len(restored)}", k)

    for name, prefix in (("usb-unwired", "ttyUSB"), ("acm-unwired", "ttyACM")):
        k = c(name)
        want = [f"{prefix}0", f"{prefix}1"]
        named = (k.summary or {}).get("no_data_received") or []
        add(f"{name}: unwired ports fail naming them (exit 1)", k.rc == 1 and sorted(named) == want,
            f"rc={k.rc} no_data_received={named}", k)

    k = c("acm-unwired")
    sent = {p["port"]: p.get("sent") for p in (k.summary or {}).get("port_totals") or []}
    add("acm-unwired: sent never above what an undrainable port can take (the driver's queue count is bounded)",
        k.summary and sent and all(isinstance(v, int) and 0 <= v <= ACM_HOLDS for v in sent.values()),
        f"sent={sent} average_cps={(k.summary or {}).get('average_cps')}", k)
    k = c("acm-close")
    line = next((l for l in k.other if " close " in l), "")
    add("acm-close: the close of an undrainable ACM port ends within a second, its closing wait put back",
        k.rc == 0 and " close ok " in line, f"rc={k.rc} {line}", k)

    wrapped = [(n, key, v) for n, x in cases.items() for key, v in numbers(x) if v < 0 or v >= WRAP]
    add("no counter wraps in any run (samples and summaries)", cases and not wrapped,
        f"{len(cases)} cases; wrapped: {wrapped[:5]}")

    k = c("unplug")
    named = [x if isinstance(x, str) else x.get("port") for key in ("gone", "no_data_received", "stalled")
             for x in ((k.summary or {}).get(key) or [])]
    add(f"unplug: a device removed mid-run ({gone or '?'}) fails the run naming it",
        k.rc == 1 and k.summary is not None and gone in named,
        f"rc={k.rc} named in the summary: {named}; stderr: {sorted(set(k.stderr))[:4]}", k)
    return res


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("kernel")
    ap.add_argument("modules")
    ap.add_argument("out")
    ap.add_argument("--full", action="store_true", help="16 ttyUSB and 8 ttyACM ports, every flow control")
    ap.add_argument("--time-limit", type=int, default=0)
    ap.add_argument("--only", help="run only these guest cases (comma-separated)")
    args = ap.parse_args()
    t0 = time.monotonic()
    os.makedirs(args.out, exist_ok=True)
    extra = [(os.path.join(args.modules, f"{m}.ko"), f"/lib/modules/{m}.ko") for m in MODULES]
    initrd = rig.build_initramfs(args.build, args.out, init="../usb/guest-init.sh", extra=extra)
    sock_dir = os.path.join(args.out, "sock")
    os.makedirs(sock_dir, exist_ok=True)
    relay = rig.Relay(sock_dir, ports=LINES, backlog=None)
    mon_path = os.path.join(sock_dir, "mon")
    append = "console=ttyS0 quiet panic=-1" + (" rig.full=1" if args.full else "") + (
        f" rig.only={args.only}" if args.only else "")
    cmd = rig.qemu_base(args.kernel, initrd, mon_path, append)
    cmd += ["-device", "qemu-xhci,id=xhci,p2=4,p3=4",
            "-device", "usb-hub,bus=xhci.0,port=1,id=hub1", "-device", "usb-hub,bus=xhci.0,port=2,id=hub2"]
    for n in LINES:
        hub, port = n // 8 + 1, n % 8 + 1
        cmd += ["-chardev", f"socket,id=c{n},path={os.path.join(sock_dir, f's{n}')}",
                "-device", f"usb-serial,bus=xhci.0,port={hub}.{port},chardev=c{n},id=us{hub}_{port}"]
    limit = args.time_limit or (900 if args.full else 300)
    cases, status, completed = rig.run_guest(cmd, relay, mon_path, limit, t0, args.out)
    gone = None
    with open(os.path.join(args.out, "guest.log")) as log:
        for line in log:
            if line.startswith("@@gone "):
                gone = line.split()[1]
    return rig.report("USB rig results", judge(cases, args.full, gone), status, completed, time.monotonic() - t0)


if __name__ == "__main__":
    sys.exit(main())

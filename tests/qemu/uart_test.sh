#!/usr/bin/env bash
# zentrel on Linux's own 8250 driver, in a QEMU guest with four 4-port PCI cards (ttyS4..ttyS19, 16550A)
# and the console on ttyS0: what --list finds (the cards, the console, the legacy slots without a UART),
# a rate the driver silently replaces (the message names the rate it offered), and the driver's
# line-error counts read with TIOCGICOUNT.
#   uart_test.sh ZENTREL CACHE_DIR        (the kernel image is kept in CACHE_DIR/vmlinuz)
# `make test-uart` runs the fuller rig of tools/uart/ (paced plugs, null modems, the driver's facts).
# Exits 77 (skipped) when QEMU, busybox or a kernel image cannot be had.
set -euo pipefail
zentrel=$(readlink -f "$1") cache=$2
skip() { echo "skipped: $*"; exit 77; }
command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64"
[ -x /bin/busybox ] || skip "no busybox-static"
command -v cpio >/dev/null || skip "no cpio"

# The kernel image only, out of Debian's package (its modules are not needed: 8250 is built in).
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/../../tools/uart/fetch-kernel" "$cache" >/dev/null || skip "no kernel image to be had"
kernel=$cache/vmlinuz

work=$(mktemp -d /tmp/zentrel-qemu-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp}
cp /bin/busybox "$root/bin/"
for a in sh mount mkdir echo cat poweroff sleep; do ln -s busybox "$root/bin/$a"; done
cp "$zentrel" "$root/bin/zentrel"
for lib in $(ldd "$zentrel" | grep -o '/[^ ]*'); do cp --parents -L "$lib" "$root"; done
cat > "$root/init" <<'INIT'
#!/bin/sh
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
echo "== list"
zentrel --list --json
echo "== list text"
zentrel --list
echo "== offered"
zentrel -n 1 -l -b 921600 -f none --batch --seconds 2 4 2>&1
echo "rc=$?"
echo "== counts"
zentrel -n 2 -l -b 115200 -f none --batch --seconds 4 --json 4 2>&1
echo "rc=$?"
echo "== end"
poweroff -f
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -H newc -o --quiet | gzip -1) > "$work/initrd"

cards=()
for c in 0 1 2 3; do
    cards+=(-device "pci-serial-4x,chardev1=n${c}a,chardev2=n${c}b,chardev3=n${c}c,chardev4=n${c}d")
    for p in a b c d; do cards+=(-chardev "null,id=n$c$p"); done
done
# One virtual CPU: a loaded guest with two stalls. The host's timeout ends a wedged guest.
timeout 240 qemu-system-x86_64 -nodefaults -no-user-config -machine pc,accel=tcg -cpu qemu64 -smp 1 -m 512 \
    -display none -no-reboot -nic none -serial stdio -kernel "$kernel" -initrd "$work/initrd" \
    -append "console=ttyS0 8250.nr_uarts=32 quiet panic=-1" "${cards[@]}" </dev/null | tr -d '\r' > "$work/out" ||
    true
cat "$work/out"
grep -q '^== end' "$work/out" || { echo "FAIL: the guest did not finish" >&2; exit 1; }

failed=0
python3 - "$work/out" <<'PY' || failed=1
import json, sys
text = open(sys.argv[1]).read()
def section(name):
    return text.split("== " + name + "\n", 1)[1].split("\n== ", 1)[0]
bad = []
lst = json.loads(next(l for l in section("list").splitlines() if l.startswith("{")))
ports = {p["path"]: p for p in lst["ports"]}
s0, s1, s4 = ports.get("/dev/ttyS0", {}), ports.get("/dev/ttyS1", {}), ports.get("/dev/ttyS4", {})
if not (s0.get("console") and s0.get("in_use")): bad.append("ttyS0 is the console")
if not s1.get("placeholder"): bad.append("ttyS1, a legacy slot, is a placeholder")
if not (s4.get("uart") == "16550A" and s4.get("base_baud") == 115200 and s4.get("bus") == "pci"):
    bad.append("ttyS4: a 16550A on PCI, 115200 base rate")
if {"prefix": "/dev/ttyS", "first": 4, "count": 16} not in [{k: s[k] for k in ("prefix", "first", "count")}
                                                            for s in lst["suggestions"]]:
    bad.append("the cards' ports suggested: -d /dev/ttyS -n 16 4")
off = section("offered")
if "The driver offered 9600." not in off or "rc=2" not in off:
    bad.append("a rate above the base rate fails the port and names the rate the driver kept")
cnt = section("counts")
summary = json.loads([l for l in cnt.splitlines() if l.startswith('{"type":"summary"')][-1])
le = summary["line_errors"]
if not all(isinstance(v, int) for v in le.values()): bad.append("the 8250 driver's counts are available")
if summary["data_errors"] or summary["ports"] != 2: bad.append("a clean loopback run on two ports")
for b in bad: print("FAIL:", b, file=sys.stderr)
sys.exit(1 if bad else 0)
PY
[ "$failed" = 0 ] && echo ok
exit "$failed"

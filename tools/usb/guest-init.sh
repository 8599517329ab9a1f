#!/bin/sh
# /init of the USB test guest: loads the kernel's USB serial modules, makes cdc_acm ports out of configfs
# gadgets on dummy controllers, runs the program and the probe on the ttyUSB and ttyACM ports, prints
# everything on the console in lines the host side reads ("@@..." lines are for it), and powers off.
. /guest-boot.sh
U=/dev/ttyUSB
A=/dev/ttyACM
B="--batch --json"
# The CI set runs 4 ports of each driver and one flow control per rate; rig.full=1 all of them.
NU=4
NA=4
FLOWS=none
grep -q 'rig\.full=1' /proc/cmdline && { NU=16; NA=8; FLOWS="none rtscts dtrdsr xonxoff"; }

ports() { i=0; while [ $i -lt $2 ]; do echo $1$i; i=$((i + 1)); done; }

# Asks the host to rewire the ttyUSB lines (off, plug) and waits until it has; the host drops what it held.
wire() {
    echo "@@wire $1"
    read -r ack
    $P drain $(ports $U 16)
}

case_() {
    name=$1
    shift
    if [ -n "$ONLY" ] && ! echo ",$ONLY," | grep -q ",$name,"; then return; fi
    echo "@@case $name"
    timeout -s KILL 90 "$@" 2>/tmp/err
    rc=$?
    sed 's/^/@@stderr /' /tmp/err
    echo "@@rc $name $rc"
}

# Dependencies first; dummy_hcd makes the software host and device controllers.
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio cdc-acm udc-core u_serial configfs \
         libcomposite usb_f_acm; do
    insmod /lib/modules/$m.ko || echo "@@fatal insmod $m"
done
insmod /lib/modules/dummy_hcd.ko num=8 || echo "@@fatal insmod dummy_hcd"

# Eight ACM ports (the most a guest takes), each on a dummy controller of its own: ports sharing one
# were served unevenly, one receiving nothing for seconds while its neighbours ran.
mount -t configfs none /sys/kernel/config
G=/sys/kernel/config/usb_gadget
for g in 0 1 2 3 4 5 6 7; do
    d=$G/g$g
    mkdir $d $d/strings/0x409 $d/configs/c.1 $d/functions/acm.p0
    echo 0x1d6b >$d/idVendor
    echo 0x0104 >$d/idProduct
    echo zt$g >$d/strings/0x409/serialnumber
    ln -s $d/functions/acm.p0 $d/configs/c.1/
    echo dummy_udc.$g >$d/UDC || echo "@@fatal gadget g$g"
done

i=0
while { [ ! -e ${U}15 ] || [ ! -e ${A}7 ] || [ ! -e /dev/ttyGS7 ]; } && [ $i -lt 300 ]; do
    sleep 0.1
    i=$((i + 1))
done
echo "@@guest up $(cut -d' ' -f1 /proc/uptime)s $(ls /dev | grep -c ttyUSB) ttyUSB $(ls /dev | grep -c ttyACM) ttyACM"

case_ list $Z --list --json
# Neither driver loops internally (ftdi_sio even keeps the loop bit): -l is refused.
case_ usb-loop $Z $B --seconds 2 -l -n 1 -f none -d $U 0
case_ acm-loop $Z $B --seconds 2 -l -n 1 -f none -d $A 0

# The host's echo keeps megabytes of backlog: each case starts on freshly wired lines.
for rate in 115200 921600; do
    for f in $FLOWS; do
        [ $rate = 921600 ] && [ $f = none ] && [ "$FLOWS" = none ] && f=rtscts
        wire plug
        case_ usb-$rate-$f $P keep $(ports $U $NU) -- $Z $B --seconds 3 -n $NU -b $rate -f $f -d $U 0
    done
done

# The far ends of the ACM ports, echoed here; killed for the unwired cases.
$P echo $(ports /dev/ttyGS 8) &
echo_pid=$!
for rate in 115200 921600; do
    for f in $FLOWS; do
        [ $rate = 921600 ] && [ $f = none ] && [ "$FLOWS" = none ] && f=rtscts
        $P drain $(ports $A 8)
        case_ acm-$rate-$f $P keep $(ports $A $NA) -- $Z $B --seconds 3 -n $NA -b $rate -f $f -d $A 0
    done
done
kill $echo_pid
wait $echo_pid 2>/dev/null
$P drain $(ports $A 8)

case_ acm-unwired $Z $B --seconds 3 -n 2 -f none -d $A 0
case_ acm-close $P close-time ${A}2

wire off
case_ usb-unwired $Z $B --seconds 3 -n 2 -f none -d $U 0

# ttyUSB numbers do not follow QEMU's device order: the device behind ttyUSB2 is found by its hub port
# (1-1.3 is QEMU's port 1.3, device id us1_3).
wire plug
hub=$(basename "$(readlink -f /sys/class/tty/ttyUSB2/device/..)" | sed 's/:.*//; s/^[0-9]*-//; s/\./_/')
echo "@@gone ttyUSB2 us$hub"
echo "@@unplug us$hub 2000"
case_ unplug $Z $B --seconds 8 -n 4 -f none -d $U 0

echo "@@done"
poweroff -f

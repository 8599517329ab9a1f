#!/bin/sh
# /init of the test guest: runs the program and the probe against the UARTs, prints everything on the
# console in lines the host side reads ("@@..." lines are for it), and powers off.
. /guest-boot.sh
S=/dev/ttyS

# Asks the host to rewire the ports (off, plug, plug:RATE, null, null:RATE) and waits until it has.
wire() {
    echo "@@wire $1"
    read -r ack
    $P drain $ALL
}

ALL=$(i=4; while [ $i -le 19 ]; do echo ${S}$i; i=$((i + 1)); done)

# case NAME CMD...: runs CMD under a time limit, with the driver's per-port counters before and after.
# With rig.only=NAME,NAME on the kernel's command line only those cases run.
case_() {
    name=$1
    shift
    if [ -n "$ONLY" ] && ! echo ",$ONLY," | grep -q ",$name,"; then return; fi
    echo "@@case $name"
    grep -E '^ *[0-9]+:' /proc/tty/driver/serial | sed 's/^/@@before /'
    timeout -s KILL 60 "$@" 2>/tmp/err
    rc=$?
    sed 's/^/@@stderr /' /tmp/err
    grep -E '^ *[0-9]+:' /proc/tty/driver/serial | sed 's/^/@@after /'
    echo "@@rc $name $rc"
}

ALL4="${S}4 ${S}5 ${S}6 ${S}7"
B="--batch --json"

i=0
while [ ! -e ${S}19 ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
echo "@@guest up $(cut -d' ' -f1 /proc/uptime)s"

wire off
case_ facts $P facts $ALL
case_ list $Z --list --json
case_ missing $Z $B --seconds 2 -n 1 -f none -d $S 20
# The guest's console is ttyS0: refused before it is opened, unless asked for.
case_ console $Z $B --seconds 1 -n 1 -f none -d $S 0
case_ loop16 $Z $B --seconds 6 -l -n 16 -b 115200 -f none -d $S 4
case_ rtscts $P keep $ALL4 -- $Z $B --seconds 3 -l -n 4 -f rtscts -d $S 4
case_ dtrdsr $P keep $ALL4 -- $Z $B --seconds 3 -l -n 4 -f dtrdsr -d $S 4
case_ dsrhold $P dsr-hold ${S}8
case_ fast-refused $Z $B --seconds 2 -l -n 1 -b 921600 -f none -d $S 4
case_ raise-base $P baud-base ${S}4 921600
case_ fast-runs $Z $B --seconds 2 -l -n 1 -b 921600 -f none -d $S 4
$P baud-base ${S}4 115200 >/dev/null
case_ unwired $Z $B --seconds 3 -n 1 -f none -d $S 9

# Input the program cannot take: with the program stopped, the probe writes more into a looped-back port
# than the tty layer holds (about 1.3 MB here), and the kernel drops and counts the rest. Its
# neighbour gets nothing extra and must count nothing.
cat >/stopped-run <<EOT
#!/bin/sh
$Z $B --seconds 20 -l -n 2 -f none -d $S 4 &
zp=\$!
sleep 2
kill -STOP \$zp
$P flood ${S}4 1500000
kill -CONT \$zp
wait \$zp
EOT
chmod +x /stopped-run
case_ overruns /stopped-run

# Null-modem pairs paced by the relay: unpaced, the host's relay (a busy shared machine) falls behind
# the guest and holds tens of kilobytes a port for longer than the drain waits.
wire null:115200
case_ null $Z $B --seconds 3 -n 4 -b 115200 -f none --wiring=pairs -d $S 4
# What the pairs still had on their way (in the host's sockets) is dropped before the next run.
wire null:115200
case_ null-as-loop $Z $B --seconds 2 -n 4 -b 115200 -f none --wiring=loopback -d $S 4
wire plug
case_ plug $Z $B --seconds 3 -n 4 -f none --wiring=loopback -d $S 12
# Line formats through paced plugs (unpaced, the relay may still hold output when the drain ends): the
# probe reads the UARTs' line control registers during the run.
for f in 7E1 8N2; do
    wire plug:115200
    case_ format-$f $P keep ${S}12 ${S}13 -- $Z $B --seconds 2 -n 2 -b 115200 --format $f -f none --wiring=loopback -d $S 12
done
wire plug:115200
case_ paced115200 $Z $B --seconds 10 -n 4 -b 115200 -f none -d $S 4
wire plug:9600
case_ paced9600 $Z $B --seconds 20 -n 16 -b 9600 -f none -d $S 4

# The last card removed in the last seconds of a run: about 3 s after the start (the ports' opening and
# the wiring's identification take up to a second of it), 1 to 2 s before the writers stop.
wire off
cat >/late-unplug <<EOT
#!/bin/sh
$Z $B --seconds 4 -l -n 8 -f none -d $S 12 &
zp=\$!
sleep 3
echo "@@unplug card4 0"
wait \$zp
EOT
chmod +x /late-unplug
case_ unplug-late /late-unplug

echo "@@done"
poweroff -f

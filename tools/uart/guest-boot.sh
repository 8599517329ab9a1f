# Sourced by each rig guest's /init: the file systems, the console as the script's input and output,
# the programs' paths and the rig's case selection.
export PATH=/bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
exec </dev/console >/dev/console 2>&1
stty -F /dev/console -echo

Z=/zentrel
P=/zentrel-uart-probe
ONLY=$(sed -n 's/.*rig\.only=\([^ ]*\).*/\1/p' /proc/cmdline)

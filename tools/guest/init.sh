#!/bin/busybox sh
# /init of the ttyaux guest (busybox sh). Loads the module, moves the blocks
# in /data through /dev/ttyS0 with ttyaux-io, checks what the kernel shows of
# the port, unloads and loads again, then powers off. Every check prints one
# "TTYAUX-CHECK <name> PASS|FAIL" line on the console; the host harness reads
# them, and the markers TTYAUX-INIT, TTYAUX-EXCHANGE <n> and TTYAUX-DONE.
export PATH=/bin
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo "TTYAUX-INIT uptime $(cut -d' ' -f1 /proc/uptime)"

failures=0

# check NAME COMMAND...: runs the command and reports it under NAME.
check() {
	name=$1
	shift
	if "$@"; then
		echo "TTYAUX-CHECK $name PASS"
	else
		echo "TTYAUX-CHECK $name FAIL"
		failures=$((failures + 1))
	fi
}

tty_registered() { [ "$(cat /sys/class/tty/ttyS0/dev 2>/dev/null)" = 205:65 ]; }

# devtmpfs makes the node; make it by hand where it does not.
device_node() {
	[ -c /dev/ttyS0 ] || mknod /dev/ttyS0 c 205 65
	[ "$(stat -c %t:%T /dev/ttyS0)" = cd:41 ]
}

region_held() { grep -q '^ *20215040-2021506f : BCM2835$' /proc/iomem; }

# The interrupt line of the port as the open port saw it, with a count > 0.
interrupt_counted() {
	awk '/ BCM2835_uart$/ { n += $2 } END { exit !(n > 0) }' "$1"
}

interrupt_freed() { ! grep -q ' BCM2835_uart$' /proc/interrupts; }

tty_gone() {
	[ ! -e /sys/class/tty/ttyS0 ] && ! awk '$3 == 205 { f = 1 } END { exit !f }' /proc/tty/drivers
}

region_gone() { ! grep -q ' : BCM2835$' /proc/iomem; }

# exchange N: guest sends /data/g2h-N.bin, receives what h2g-N.bin holds.
exchange() {
	n=$1
	count=$(wc -c </data/h2g-$n.bin)
	echo "TTYAUX-EXCHANGE $n"
	ttyaux-io /dev/ttyS0 /data/g2h-$n.bin /tmp/h2g-$n.got "$count" 60 \
		/proc/interrupts /tmp/interrupts-$n
	echo "ttyaux-io exit status $?"
	grep ' BCM2835_uart$' /tmp/interrupts-$n
	check "received-exactly-$n" cmp /data/h2g-$n.bin /tmp/h2g-$n.got
	check "interrupt-counted-$n" interrupt_counted /tmp/interrupts-$n
	check "interrupt-freed-on-close-$n" interrupt_freed
}

# load N / unload N: the module in and out, with what each must change.
load() {
	check "insmod-$1" insmod /ttyaux.ko
	check "tty-registered-$1" tty_registered
	check "device-node-$1" device_node
	check "region-held-$1" region_held
}

unload() {
	check "rmmod-$1" rmmod ttyaux
	check "tty-gone-$1" tty_gone
	check "region-gone-$1" region_gone
}

load 1
exchange 1
unload 1
load 2
exchange 2
unload 2

echo "TTYAUX-DONE failures $failures"
poweroff -f

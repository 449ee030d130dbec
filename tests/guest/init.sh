#!/bin/busybox sh
# /init of the ttyaux guest (busybox sh). Loads the module, moves the blocks
# in /data through /dev/ttyS0 with ttyaux-io, checks what the kernel shows of
# the port, unloads and loads again, then powers off. Booted with the argument
# "held" (the 8250 driver then holds ttyS0-ttyS3), it checks instead that the
# module refuses the port cleanly. Every check prints one
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

# The node's window, claimed under the device's name.
region_held() { grep -q '^ *20215040-2021507f : 20215040.serial' /proc/iomem; }

# The interrupt line of the port as the open port saw it, with a count > 0.
interrupt_counted() {
	awk '/ BCM2835_uart$/ { n += $2 } END { exit !(n > 0) }' "$1"
}

interrupt_freed() { ! grep -q ' BCM2835_uart$' /proc/interrupts; }

tty_gone() {
	[ ! -e /sys/class/tty/ttyS0 ] && ! awk '$3 == 205 { f = 1 } END { exit !f }' /proc/tty/drivers
}

region_gone() { ! grep -q ' : 20215040.serial' /proc/iomem; }

# The counters the port's TIOCGICOUNT grew by (ttyaux-io's "counted" line):
# every byte both ways, and no overrun (QEMU hands bytes over only while the
# receive FIFO has room).
counted() {
	grep -qx "ttyaux-io: counted rx $2 tx $3 overrun 0" "$1"
}

# The serial core's view, /proc/tty/driver/ttyS: the port at the node's
# window, with its counts.
proc_driver_info() {
	grep -q '^0: uart:BCM2835_uart mmio:0x20215040 irq:[0-9]* tx:[0-9]* rx:[0-9]*' /proc/tty/driver/ttyS
}

# exchange N [STATUS]: guest sends /data/g2h-N.bin, receives what h2g-N.bin
# holds; ttyaux-io must end with STATUS (0: exactly that, 1: one byte more
# came, which the host sends on purpose to prove the check can fail).
exchange() {
	n=$1
	want=${2:-0}
	count=$(wc -c </data/h2g-$n.bin)
	sent=$(wc -c </data/g2h-$n.bin)
	extra=$want
	echo "TTYAUX-EXCHANGE $n"
	# Its output goes on to the console as it comes: the host waits for
	# "receiving" before it sends.
	{
		ttyaux-io /dev/ttyS0 /data/g2h-$n.bin /tmp/h2g-$n.got "$count" 60 \
			/proc/interrupts /tmp/interrupts-$n
		echo $? >/tmp/status-$n
	} | tee /tmp/io-$n
	status=$(cat /tmp/status-$n)
	echo "ttyaux-io exit status $status"
	grep ' BCM2835_uart$' /tmp/interrupts-$n
	check "exchange-status-$n" [ "$status" = "$want" ]
	check "received-exactly-$n" cmp /data/h2g-$n.bin /tmp/h2g-$n.got
	check "counted-$n" counted /tmp/io-$n $((count + extra)) "$sent"
	check "proc-driver-info-$n" proc_driver_info
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

# The 8250 driver's ttyS0, 4:64.
held_by_8250() { [ "$(cat /sys/class/tty/ttyS0/dev 2>/dev/null)" = 4:64 ]; }

not_bound() { [ ! -e /sys/bus/platform/drivers/ttyS/20215040.serial ]; }

no_tty_driver() { ! awk '$3 == 205 { f = 1 } END { exit !f }' /proc/tty/drivers; }

refusal_logged() {
	dmesg | grep -q 'ttyS0 is held by device 4:64, the 8250 driver.s; free it with 8250.nr_uarts=0'
}

# With the name taken the probe fails and says why; nothing of the port is
# left, the 8250's ttyS0 is untouched, and the module unloads.
held() {
	check held-by-8250 held_by_8250
	check insmod-held insmod /ttyaux.ko
	check probe-refused-held not_bound
	check refusal-logged-held refusal_logged
	check tty-untouched-held held_by_8250
	check no-tty-driver-held no_tty_driver
	check region-free-held region_gone
	check rmmod-held rmmod ttyaux
}

if [ "$1" = held ]; then
	held
else
	load 1
	exchange 1
	unload 1
	load 2
	exchange 2
	exchange 3 1
	unload 2
fi

echo "TTYAUX-DONE failures $failures"
poweroff -f

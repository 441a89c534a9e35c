#!/bin/busybox sh
# The test machine's first process. It loads the USB serial drivers, runs each
# scenario below in turn and prints its results on the console (ttyS0) under a
# "== title" line; run.sh compares them with expected.txt. Lines that start
# with "# " are measurements for the log and are not compared.
/bin/busybox mkdir -p /proc /sys /dev /tmp
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
echo 1 >/proc/sys/kernel/printk
stty -opost  # so that the host sees torvex's output byte for byte
chmod 1777 /tmp
echo 'root:x:0:0::/:/bin/sh' >/etc/passwd
echo 'tech:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd
printf 'root:x:0:\ntech:x:1000:\n' >/etc/group
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    insmod /lib/$m.ko || echo "insmod $m failed"
done
printf '#print Holding the port.\r\n#wait 60\r\n' >/t/hold.txt
printf '#timeout 30\r\nAT+SILENT\r\n' >/t/silent.txt

# Runs a command until it ends, at most 60 s, then shows its output and exit status.
show() {
    timeout 60 "$@" </dev/null >/tmp/out 2>&1
    s=$?
    cat /tmp/out
    echo "exit $s"
}

# Waits up to 30 s for TEXT to appear in FILE.
waitfor() {
    n=0
    while ! grep -qs "$1" "$2" && [ $n -lt 300 ]; do usleep 100000; n=$((n + 1)); done
}

# Centiseconds since boot.
now() {
    tr -d . </proc/uptime | cut -d ' ' -f 1
}

# A second torvex on a port in use is refused. After the first ends by each
# signal the port opens again: the next hold, and the run after the last.
# The first runs in the foreground: a background job would ignore SIGINT.
exclusive() {
    for sig in INT TERM KILL; do
        echo "== ttyS1 held, a second torvex, then SIG$sig to the first"
        rm -f /tmp/hold.$sig
        (
            waitfor Holding /tmp/hold.$sig
            first=$(pidof torvex)
            show torvex /t/hold.txt -PORT=/dev/ttyS1 >/tmp/second.$sig
            kill -$sig $first
        ) &
        helper=$!
        # (The shell's own "Killed" goes nowhere.)
        { torvex /t/hold.txt -PORT=/dev/ttyS1 </dev/null >/tmp/hold.$sig; } 2>/dev/null
        s=$?
        wait $helper
        cat /tmp/second.$sig /tmp/hold.$sig
        echo "exit $s"
    done
}

uart() {
    echo "== ttyS1 signal.txt at 115200"
    show torvex /t/signal.txt -PORT=/dev/ttyS1 -BAUD=115200
    echo "== ttyS1 settings left by torvex"
    stty -F /dev/ttyS1 -a 2>/dev/null
    echo "== ttyS1 at 250000"
    show torvex /t/signal.txt -PORT=/dev/ttyS1 -BAUD=250000
}

usb() {
    echo "== ttyUSB0 signal.txt at 115200"
    show torvex /t/signal.txt -PORT=/dev/ttyUSB0 -BAUD=115200
    echo "== ttyUSB0 signal.txt at 250000"
    show torvex /t/signal.txt -PORT=/dev/ttyUSB0 -BAUD=250000
}

# The station on the adapter: one run, then the adapter taken away and
# brought back twice through its authorized file, the kernel's own unplug and
# plug; a unit that passed is done earlier, and its record has one row.
station() {
    echo "== station: the adapter run once, then taken away and brought back twice"
    for d in /sys/bus/usb/devices/*; do
        [ "$(cat "$d/idVendor" 2>/dev/null)" = 0403 ] && adapter=$d
    done
    torvex-rack --watch --match usb=0403:6001 --record /tmp/units.db --log-dir /tmp/station \
        --timeout 120 /t/signal.txt </dev/null >/tmp/station.out 2>&1 &
    pid=$!
    waitfor 'TVX0001 (/dev/ttyUSB0): done: ok' /tmp/station.out
    for time in 1 2; do
        echo 0 >"$adapter/authorized"
        n=0
        while [ -e /dev/ttyUSB0 ] && [ $n -lt 100 ]; do usleep 100000; n=$((n + 1)); done
        echo 1 >"$adapter/authorized"
        n=0
        while [ "$(grep -c 'done earlier' /tmp/station.out)" -lt $time ] && [ $n -lt 300 ]; do
            usleep 100000
            n=$((n + 1))
        done
        echo "# back and done earlier after $n tenths of a second"
    done
    kill -TERM $pid
    # (The shell's own "Terminated" goes nowhere.)
    { wait $pid; } 2>/dev/null
    echo "exit $?"
    # Times and dates vary: what the station said after them.
    sed -e '/^PORT /,$d' -e 's/^[^ ]* //' -e 's/ at 20[0-9T:.-]*Z$/ at TIME/' /tmp/station.out
    torvex-rack --history /tmp/units.db --json | grep -c '"unit": "TVX0001", "usb": "0403:6001"'
}

# The host unplugs the adapter when it reads "unplug now".
unplug() {
    echo "== ttyUSB0 unplugged while torvex waits for an answer"
    (
        timeout 60 torvex /t/silent.txt -PORT=/dev/ttyUSB0 </dev/null >/tmp/unplug 2>&1
        echo "exit $?" >>/tmp/unplug
        times >/tmp/cpu
    ) &
    pid=$!
    waitfor AT+SILENT /tmp/unplug
    sleep 1
    echo "unplug now"
    asked=$(now)
    n=0
    while [ -e /dev/ttyUSB0 ] && [ $n -lt 600 ]; do usleep 50000; n=$((n + 1)); done
    gone=$(now)
    wait $pid
    ended=$(now)
    cat /tmp/unplug
    cpu=$(tail -n 1 /tmp/cpu | tr -d ms | awk '{ print int(($1 + $2) * 100 + 0.5) }')
    [ $((ended - gone)) -le 200 ] && echo "ended within 2 s of the unplug" || echo "ended too late"
    [ "$cpu" -le 50 ] && echo "CPU time under 0.5 s" || echo "CPU time too high"
    echo "# unplug took $((gone - asked)) cs, torvex ended $((ended - gone)) cs after it, CPU $cpu cs"
}

# The ports a technician can use, as the kernel's own sysfs describes them:
# the UARTs that are there and the adapter, not the ttyS entries with no UART.
ports() {
    echo "== torvex-ports"
    show torvex-ports
    show torvex-ports --names
}

# A user who is not root may not open a port with mode 600, by path or by COM name.
permissions() {
    chmod 600 /dev/ttyS1
    for port in /dev/ttyS1 COM2; do
        echo "== $port with mode 600, as a user"
        show su -s /bin/sh tech -c "torvex /t/signal.txt -PORT=$port"
    done
    chmod 660 /dev/ttyS1
}

n=0
while [ ! -e /dev/ttyUSB0 ] && [ $n -lt 200 ]; do usleep 100000; n=$((n + 1)); done
echo "== begin"
for scenario in ports exclusive uart usb station unplug permissions; do
    $scenario
done
echo "== end"
reboot -f

#!/usr/bin/env bash
# Runs torvex on the kernel's own serial drivers: a Debian kernel in QEMU with
# a 16550 UART (ttyS1) and an emulated FTDI USB adapter (ttyUSB0), each wired
# to a torvex-sim here. The guest (init.sh) runs the scenarios and prints their
# results on its console; they and what the simulators saw must match
# expected.txt, uart.wire and usb.wire byte for byte.
# Usage: tests/driver/run.sh [BUILD_DIR]   (default build-driver)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
out=$(mkdir -p "${1:-$top/build-driver}" && cd "${1:-$top/build-driver}" && pwd)
run=$out/run
fail() { echo "driver test: $*"; exit 1; }

missing=()
for p in qemu-system-x86 busybox-static cpio cmake make g++ libsqlite3-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
        fail "could not install ${missing[*]}"
fi

# The kernel linux-image-amd64 stands for, fetched and unpacked once.
kernel=$out/kernel
if ! ls "$kernel"/boot/vmlinuz-* >/dev/null 2>&1; then
    pkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/ { print $2; exit }')
    [[ -n $pkg ]] || fail "no kernel package found"
    mkdir -p "$kernel"
    (cd "$kernel" && apt-get download -qq -o APT::Sandbox::User=root "$pkg") || fail "could not fetch $pkg"
    dpkg-deb --fsys-tarfile "$kernel/$pkg"_*.deb | tar -x -C "$kernel" --wildcards './boot/vmlinuz-*' \
        './lib/modules/*/usb/common/usb-common.ko' './lib/modules/*/usb/core/usbcore.ko' \
        './lib/modules/*/usb/host/xhci-hcd.ko' './lib/modules/*/usb/host/xhci-pci.ko' \
        './lib/modules/*/usb/serial/usbserial.ko' './lib/modules/*/usb/serial/ftdi_sio.ko' ||
        fail "could not unpack $pkg"
fi

# Static programs: the guest has no C library. Those the guest runs, as built
# (the station with SQLite's static library):
guest=(torvex tools/torvex-ports torvex-rack)
sqlite=$(dpkg -L libsqlite3-dev 2>/dev/null | grep '/libsqlite3\.a$' | head -n 1)
[[ -n $sqlite ]] || fail "no static libsqlite3 (package libsqlite3-dev)"
cmake -S "$top" -B "$out/torvex" -DTORVEX_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DSQLite3_LIBRARY="$sqlite" >/dev/null &&
    cmake --build "$out/torvex" -j2 --target "${guest[@]##*/}" torvex-sim >/dev/null || fail "build failed"
sim=$out/torvex/tools/torvex-sim

# The initramfs: busybox, the programs, the modules, the init and the example script.
rm -rf "$run" && mkdir -p "$run/root"/{bin,lib,t,etc}
cp /bin/busybox "${guest[@]/#/$out/torvex/}" "$run/root/bin/"
find "$kernel/lib/modules" -name '*.ko' -exec cp {} "$run/root/lib/" \;
cp "$here/init.sh" "$run/root/init"
cp "$top/examples/signal.txt" "$run/root/t/"
(cd "$run/root" && find . | cpio -o -H newc --quiet) >"$run/initramfs" || fail "cpio failed"

pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT
printf 'AT+SILENT=\n' >"$run/silent.answers"
for dev in uart usb pty; do
    "$sim" --link "$run/$dev" --log --answers "$run/silent.answers" >/dev/null 2>"$run/$dev.wire" &
    pids+=($!)
done
n=0
while [[ ! -e $run/uart || ! -e $run/usb || ! -e $run/pty ]] && ((n++ < 50)); do sleep 0.1; done

# The same script on a pseudo-terminal, while the guest boots.
(cd "$run" && timeout 60 "$out/torvex/torvex" root/t/signal.txt -PORT="$run/pty" -BAUD=115200 \
    </dev/null >pty.out 2>&1; echo "exit $?" >>pty.out) &
pids+=($!)

mkfifo "$run/qmp.in" "$run/qmp.out"
start=$SECONDS
timeout -k 5 170 qemu-system-x86_64 -accel tcg -cpu max -m 256 -nodefaults -no-user-config \
    -display none -no-reboot -kernel "$(ls "$kernel"/boot/vmlinuz-*)" -initrd "$run/initramfs" \
    -append 'console=ttyS0 quiet loglevel=1 panic=-1' \
    -chardev file,id=c0,path="$run/console" -serial chardev:c0 \
    -chardev serial,id=c1,path="$run/uart" -serial chardev:c1 \
    -chardev serial,id=c2,path="$run/usb" -device qemu-xhci -device usb-serial,chardev=c2,id=u1,serial=TVX0001 \
    -chardev pipe,id=qmp,path="$run/qmp" -mon chardev=qmp,mode=control &
qemu=$!
pids+=($qemu)
exec 3<>"$run/qmp.in" 4<>"$run/qmp.out"
cat <&4 >"$run/qmp.log" &
pids+=($!)

# The guest prints "unplug now" when torvex waits on the adapter.
unplugged=0
while kill -0 $qemu 2>/dev/null; do
    if ((!unplugged)) && grep -q '^unplug now$' "$run/console" 2>/dev/null; then
        printf '{"execute":"qmp_capabilities"}\n{"execute":"device_del","arguments":{"id":"u1"}}\n' >&3
        unplugged=1
    fi
    sleep 0.1
done
wait $qemu
echo "driver test: the guest ran for $((SECONDS - start)) s"
kill "${pids[@]}" 2>/dev/null
wait 2>/dev/null

sed -n '/^== begin$/,/^== end$/p' "$run/console" | grep -v '^# ' >"$run/results"
grep '^# ' "$run/console"
status=0
for f in results uart.wire usb.wire; do
    expected=$here/${f/results/expected.txt}
    diff -u "$expected" "$run/$f" || { echo "driver test: $f differs from $expected"; status=1; }
done
# The runs of signal.txt on both drivers give what it gives on a pseudo-terminal.
for title in 'ttyS1 signal.txt at 115200' 'ttyUSB0 signal.txt at 115200'; do
    awk -v t="== $title" '$0 == t { on = 1; next } /^== / { on = 0 } on' "$run/results" >"$run/block"
    cmp -s "$run/pty.out" "$run/block" || { echo "driver test: $title differs from a pseudo-terminal"; status=1; }
done
exit $status

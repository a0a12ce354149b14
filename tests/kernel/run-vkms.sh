#!/bin/bash
# Boots the installed Debian kernel under qemu with an out-of-tree vkms
# module and runs capture-helper's checks against its real DRM device.
#
#   run-vkms.sh --work DIR [--helper PATH] [--client PATH]
#               [--capture PATH --relay PATH] [--timeout SECONDS]
#
# DIR is a folder in the build tree: the vkms build is cached there (one per
# kernel version), the initramfs and the serial log are written there.
# Without --helper/--client the guest only proves that a mode can be held;
# with --capture/--relay as well, the client also streams the display with
# them (the auto and the compatible mode) and checks the recordings.
# The guest runs under KVM when a short probe boot shows KVM works here, and
# under TCG otherwise; the output says which and why. VISTREL_KVM_PROBE=fail
# forces the probe to fail.
# Exit status: 0 passed, 1 failed (reasons printed), 77 skipped (reason
# printed: something this machine lacks).
set -u

work="" helper="" client="" capture="" relay="" timeout=240
while [ $# -gt 0 ]; do
    case "$1" in
        --work) work="$2"; shift 2 ;;
        --helper) helper="$2"; shift 2 ;;
        --client) client="$2"; shift 2 ;;
        --capture) capture="$2"; shift 2 ;;
        --relay) relay="$2"; shift 2 ;;
        --timeout) timeout="$2"; shift 2 ;;
        *) echo "run-vkms: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$work" ] || { echo "run-vkms: --work DIR is required" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

# --- what the machine must have -------------------------------------------
qemu="$(command -v qemu-system-x86_64)" || skip "qemu-system-x86_64 is not installed (package qemu-system-x86)"
busybox=""
for b in /bin/busybox /usr/bin/busybox; do
    if [ -x "$b" ] && ! ldd "$b" >/dev/null 2>&1; then busybox="$b"; break; fi
done
[ -n "$busybox" ] || skip "no statically linked busybox (package busybox-static)"
modetest="$(command -v modetest)" || skip "modetest is not installed (package libdrm-tests)"
command -v cpio >/dev/null || skip "cpio is not installed"
command -v modprobe >/dev/null || skip "modprobe is not installed (package kmod)"
source_tar=/usr/src/linux-source-6.1.tar.xz
[ -f "$source_tar" ] || skip "$source_tar is missing (package linux-source-6.1)"

# The newest kernel that has an image, modules and headers.
kver=""
for img in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
    k="${img#/boot/vmlinuz-}"
    if [ -d "/lib/modules/$k/kernel" ] && [ -f "/lib/modules/$k/build/Makefile" ]; then kver="$k"; break; fi
done
[ -n "$kver" ] || skip "no kernel with image, modules and headers under /boot and /lib/modules (packages linux-image-amd64, linux-headers-amd64)"
[ -r "/boot/vmlinuz-$kver" ] || skip "/boot/vmlinuz-$kver is not readable"

# Image, headers and source must be one release: compare the package versions.
pkgver() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null; }
v_image="$(pkgver "linux-image-$kver")"
v_headers="$(pkgver "linux-headers-$kver")"
v_source="$(pkgver linux-source-6.1)"
[ -n "$v_image" ] || skip "linux-image-$kver is not installed as a package"
[ -n "$v_headers" ] || skip "linux-headers-$kver is not installed"
[ -n "$v_source" ] || skip "linux-source-6.1 is not installed"
if [ "$v_image" != "$v_headers" ] || [ "$v_image" != "$v_source" ]; then
    skip "kernel versions differ: linux-image-$kver $v_image, linux-headers-$kver $v_headers, linux-source-6.1 $v_source (install matching ones)"
fi

if [ -n "$helper" ] && [ ! -x "$helper" ]; then skip "capture-helper is not built ($helper)"; fi
if [ -n "$client" ] && [ ! -x "$client" ]; then skip "the guest test client is not built ($client)"; fi
if [ -n "$capture" ] && [ ! -x "$capture" ]; then skip "capture is not built ($capture)"; fi
if [ -n "$relay" ] && [ ! -x "$relay" ]; then skip "vistrel-relay is not built ($relay)"; fi

mkdir -p "$work" || fail "cannot create $work"
work="$(cd "$work" && pwd)"

# --- vkms, built once per kernel release ----------------------------------
vkms_dir="$work/vkms-$kver"
vkms_ko="$vkms_dir/drivers/gpu/drm/vkms/vkms.ko"
stamp="$vkms_dir/built-for"
if [ ! -f "$vkms_ko" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$kver $v_source" ]; then
    echo "run-vkms: building vkms for $kver ($v_source)"
    rm -rf "$vkms_dir"
    mkdir -p "$vkms_dir"
    tar -xJf "$source_tar" -C "$vkms_dir" --strip-components=1 \
        --wildcards 'linux-source-6.1/drivers/gpu/drm/vkms/*' \
        || fail "cannot extract drivers/gpu/drm/vkms from $source_tar"
    sed -i 's/^obj-\$(CONFIG_DRM_VKMS)/obj-m/' "$vkms_dir/drivers/gpu/drm/vkms/Makefile"
    grep -q '^obj-m' "$vkms_dir/drivers/gpu/drm/vkms/Makefile" || fail "vkms Makefile has no obj line to build"
    if ! make -C "/lib/modules/$kver/build" M="$vkms_dir/drivers/gpu/drm/vkms" -j2 modules \
            >"$vkms_dir/build.log" 2>&1; then
        tail -20 "$vkms_dir/build.log"
        fail "building vkms failed (log: $vkms_dir/build.log)"
    fi
    [ -f "$vkms_ko" ] || fail "the vkms build made no vkms.ko"
    echo "$kver $v_source" >"$stamp"
else
    echo "run-vkms: vkms for $kver is cached"
fi

# --- initramfs -------------------------------------------------------------
root="$work/initramfs"
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,run,lib/vistrel,usr/bin} || fail "cannot lay out $root"
cp "$busybox" "$root/bin/busybox"
for applet in $("$busybox" --list); do
    [ "$applet" = busybox ] || ln -sf busybox "$root/bin/$applet"
done

# Copies a program and every shared library ldd names, plus the loader,
# to the same paths inside the initramfs.
add_program() {
    local prog="$1" dest="$2" lib
    install -D -m 0755 "$prog" "$root$dest" || fail "cannot copy $prog"
    for lib in $(ldd "$prog" 2>/dev/null | grep -o '/[^ ]*'); do
        [ -f "$root$lib" ] && continue
        install -D -m 0755 "$(readlink -f "$lib")" "$root$lib" || fail "cannot copy $lib for $prog"
    done
}
add_program "$modetest" /usr/bin/modetest
if setpriv_bin="$(command -v setpriv)"; then add_program "$setpriv_bin" /usr/bin/setpriv; fi
if [ -n "$helper" ]; then add_program "$helper" /usr/bin/capture-helper; fi
if [ -n "$client" ]; then add_program "$client" /usr/bin/vistrel-kernel-check; fi
# capture and the relay bring FFmpeg's libraries and the EGL dispatcher,
# nothing more: no GL driver and no EGL vendor file, so the guest has no EGL
# display to offer, as a machine without a usable GPU.
if [ -n "$capture" ] && [ -n "$relay" ] && [ -n "$client" ]; then
    add_program "$capture" /usr/bin/capture
    add_program "$relay" /usr/bin/vistrel-relay
fi
[ -z "$(find "$root" -path '*egl_vendor.d*' -o -name 'libEGL_*' -o -path '*/dri/*_dri.so' | head -1)" ] ||
    fail "an EGL vendor or GL driver got into the initramfs"

# vkms and, in load order, the stock modules it needs.
deps="$(modinfo -F depends "$vkms_ko" | tr ',' ' ')"
: >"$root/lib/vistrel/modules.order"
for d in $deps; do
    for m in $(modprobe -S "$kver" --show-depends "$d" | awk '$1 == "insmod" {print $2}'); do
        base="$(basename "$m")"
        grep -qx "$base" "$root/lib/vistrel/modules.order" && continue
        case "$m" in
            *.ko) cp "$m" "$root/lib/vistrel/$base" ;;
            *.ko.xz) base="${base%.xz}"; xz -dc "$m" >"$root/lib/vistrel/$base" ;;
            *.ko.zst) base="${base%.zst}"; zstd -qdc "$m" >"$root/lib/vistrel/$base" ;;
            *) fail "unknown module file $m" ;;
        esac || fail "cannot copy module $m"
        echo "$base" >>"$root/lib/vistrel/modules.order"
    done
done
cp "$vkms_ko" "$root/lib/vistrel/vkms.ko"
echo vkms.ko >>"$root/lib/vistrel/modules.order"
install -m 0755 "$here/guest-init.sh" "$root/init"

# The pictures of an earlier run's failure are gone before this one.
rm -f "$work"/*.ppm
initrd="$work/initramfs.cpio"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$initrd" || fail "cannot write $initrd"

# --- boot ------------------------------------------------------------------
# /dev/kvm can exist and be writable on a host whose processor offers no
# virtualisation to this machine; a KVM guest there never gets past the
# firmware. So KVM is used only when a short probe boot of the same kernel
# prints its first line within a few seconds; otherwise the guest runs
# under TCG. VISTREL_KVM_PROBE=fail makes the probe fail as on such a host.
probe_seconds=10
kvm_probe() {
    local log="$work/kvm-probe.log" pid waited=0
    if [ "${VISTREL_KVM_PROBE:-}" = fail ]; then
        why="the KVM probe was made to fail (VISTREL_KVM_PROBE=fail)"; return 1
    fi
    if [ ! -e /dev/kvm ]; then why="there is no /dev/kvm"; return 1; fi
    if [ ! -w /dev/kvm ]; then why="/dev/kvm is not writable"; return 1; fi
    : >"$log"
    "$qemu" -accel kvm -kernel "/boot/vmlinuz-$kver" \
        -append 'console=ttyS0 earlyprintk=ttyS0 loglevel=1 panic=-1' \
        -nographic -m 256 -smp 1 -nic none -no-reboot </dev/null >"$log" 2>&1 &
    pid=$!
    while [ $waited -lt $((probe_seconds * 10)) ]; do
        if grep -aq 'Linux version' "$log"; then
            kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
            why="a KVM probe boot printed the kernel's first line after $((waited / 10)).$((waited % 10)) s"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
        waited=$((waited + 1))
    done
    kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
    why="a KVM probe boot showed no kernel output within $probe_seconds s (probe log: $log)"
    return 1
}
why=""
if kvm_probe; then accel=kvm; else accel=tcg; fi
serial="$work/serial.log"
echo "run-vkms: using $accel: $why"
echo "run-vkms: booting $kver ($accel)"
start=$(date +%s.%N)
timeout --kill-after=5 "$timeout" "$qemu" -accel "$accel" -kernel "/boot/vmlinuz-$kver" -initrd "$initrd" \
    -append 'console=ttyS0 quiet loglevel=3 panic=-1' \
    -nographic -m 2048 -smp 2 -nic none -no-reboot </dev/null >"$serial" 2>&1
qrc=$?
end=$(date +%s.%N)
elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
tr -d '\r' <"$serial" | sed 's/^.*\(VISTREL [A-Z]\)/\1/' >"$serial.txt"

# --- verdict ---------------------------------------------------------------
grep '^VISTREL ' "$serial.txt" | grep -v -e '^VISTREL LOG ' -e '^VISTREL FILE ' | sed 's/^VISTREL /  /'
# Pictures the guest kept of a failed comparison, beside the serial log.
for name in $(awk '$1 == "VISTREL" && $2 == "FILE" && $3 ~ /^[A-Za-z0-9._-]+\.gz$/ { print $3 }' "$serial.txt" | sort -u); do
    awk -v n="$name" '$1 == "VISTREL" && $2 == "FILE" && $3 == n { print $4 }' "$serial.txt" | base64 -d |
        gzip -dc >"$work/${name%.gz}" 2>/dev/null &&
        echo "run-vkms: the guest's picture $work/${name%.gz}" ||
        echo "run-vkms: the guest's picture ${name%.gz} arrived damaged"
done
booted="$(grep -m1 '^VISTREL BOOTED ' "$serial.txt" | awk '{print $3}')"
done_at="$(grep -m1 '^VISTREL DONE ' "$serial.txt" | awk '{print $3}')"
[ -n "$booted" ] && echo "run-vkms: guest reached /init after ${booted} s of guest uptime"
[ -n "$booted" ] && [ -n "$done_at" ] &&
    echo "run-vkms: the guest's checks took $(awk -v a="$booted" -v b="$done_at" 'BEGIN { printf "%.1f", b - a }') s"
echo "run-vkms: qemu ran ${elapsed} s"
if [ $qrc -eq 124 ] || [ $qrc -eq 137 ]; then
    tail -40 "$serial.txt"
    fail "the guest did not finish within $timeout s (serial log: $serial)"
fi
result="$(grep -m1 '^VISTREL RESULT ' "$serial.txt")"
if [ -z "$result" ]; then
    tail -40 "$serial.txt"
    fail "the guest ended without a result (qemu status $qrc, serial log: $serial)"
fi
npass=$(grep -c '^VISTREL CHECK [^ ]* PASS' "$serial.txt")
nfail=$(grep -c '^VISTREL CHECK [^ ]* FAIL' "$serial.txt")
nskip=$(grep -c '^VISTREL CHECK [^ ]* SKIP' "$serial.txt")
echo "$npass passed, $nfail failed, $nskip skipped"
if [ "$result" != "VISTREL RESULT PASS" ] || [ "$nfail" -ne 0 ] || [ "$npass" -eq 0 ]; then
    grep '^VISTREL LOG ' "$serial.txt" | tail -60 | sed 's/^VISTREL LOG /  guest: /'
    fail "$(grep '^VISTREL CHECK [^ ]* FAIL' "$serial.txt" | sed 's/^VISTREL CHECK //' | tr '\n' ';')"
fi
exit 0

#!/bin/sh
# /init of the test guest: loads vkms, proves that modetest can hold a mode,
# runs the helper checks and reports on the serial console. Every line the
# host reads starts with "VISTREL ": BOOTED, CHECK <name> PASS|FAIL|SKIP <detail>,
# LOG <text> (logs shown when something failed) and one RESULT PASS|FAIL.
export PATH=/usr/bin:/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo 1 >/proc/sys/kernel/printk
# The relay decodes the stream through FFmpeg's RTP demuxer on 127.0.0.1.
ip link set lo up 2>/dev/null || ifconfig lo 127.0.0.1 up
echo
echo "VISTREL BOOTED $(cut -d' ' -f1 /proc/uptime)"

checks=/tmp/checks.log
: >$checks
check() {   # name PASS|FAIL detail...
    echo "VISTREL CHECK $*" | tee -a $checks
}
finish() {
    if grep -q '^VISTREL CHECK [^ ]* FAIL' $checks || ! grep -q '^VISTREL CHECK' $checks; then
        for f in /tmp/*.log; do
            [ "$f" = $checks ] && continue
            [ -f "$f" ] || continue
            sed "s|^|VISTREL LOG $(basename "$f"): |" "$f" | tail -80
        done
        echo "VISTREL RESULT FAIL"
    else
        echo "VISTREL RESULT PASS"
    fi
    echo "VISTREL DONE $(cut -d' ' -f1 /proc/uptime)"
    sync
    poweroff -f
    exit 1
}

# vkms with its cursor plane, its overlay planes and its writeback connector
# (the CRTC's composed picture), whatever this release's defaults are.
for m in $(cat /lib/vistrel/modules.order); do
    args=""
    [ "$m" = vkms.ko ] && args="enable_cursor=1 enable_overlay=1 enable_writeback=1"
    if ! insmod /lib/vistrel/$m $args 2>/tmp/insmod.log; then
        check modules FAIL "insmod $m: $(cat /tmp/insmod.log)"
        finish
    fi
done
i=0
while [ ! -e /dev/dri/card0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
if [ ! -e /dev/dri/card0 ]; then
    check modules FAIL "vkms loaded but /dev/dri/card0 did not appear"
    finish
fi
check modules PASS "$(tr '\n' ' ' </lib/vistrel/modules.order)"

modetest -M vkms -c >/tmp/connectors.log 2>&1
conn=$(awk '$3 == "connected" && $4 ~ /^Virtual-/ { print $1; exit }' /tmp/connectors.log)
if [ -z "$conn" ]; then
    check connector FAIL "modetest lists no connected Virtual connector"
    finish
fi
check connector PASS "Virtual connector id $conn"

# A mode is scanned out only while modetest runs; it runs until its
# standard input is closed.
mkfifo /tmp/hold
modetest -M vkms -s "$conn:1024x768" </tmp/hold >/tmp/modetest.log 2>&1 &
mt=$!
exec 3>/tmp/hold
sleep 2
# modetest writes through a buffered stdout: its lines arrive when it exits.
if kill -0 $mt 2>/dev/null; then
    exec 3>&-
    wait $mt
    rc=$?
    if [ $rc -eq 0 ] && grep -q 'setting mode' /tmp/modetest.log; then
        check modetest-holds-mode PASS "$(grep -m1 'setting mode' /tmp/modetest.log)"
    else
        check modetest-holds-mode FAIL "modetest exited with status $rc when released: $(tr '\n' ' ' </tmp/modetest.log)"
    fi
else
    exec 3>&-
    check modetest-holds-mode FAIL "modetest did not hold a mode: $(tr '\n' ' ' </tmp/modetest.log)"
    finish
fi
rm -f /tmp/modetest.log /tmp/connectors.log

# The checks stream their results to the console as they go; a check that
# hangs is ended here, well before the host gives up on the guest.
# With capture and the relay in the guest, the client also streams the
# display in the auto and the compatible mode.
if [ -x /usr/bin/vistrel-kernel-check ]; then
    limit=120
    set -- --connector "$conn" --modetest /usr/bin/modetest --helper /usr/bin/capture-helper --setpriv /usr/bin/setpriv
    if [ -x /usr/bin/capture ] && [ -x /usr/bin/vistrel-relay ]; then
        limit=200
        set -- "$@" --capture /usr/bin/capture --relay /usr/bin/vistrel-relay --mode auto --mode compatible
    fi
    { timeout $limit vistrel-kernel-check "$@" 2>/tmp/client.log
      echo $? >/tmp/client.rc; } | tee -a $checks
    rc=$(cat /tmp/client.rc)
    case "$rc" in
        0|1) ;;
        143) check client FAIL "the checks did not finish within $limit s (stopped after the last check above)" ;;
        *) check client FAIL "vistrel-kernel-check ended with status $rc" ;;
    esac
    # Pictures the client kept of a failed comparison go to the host as
    # lines of base64 of the gzipped file: "VISTREL FILE <name>.gz <line>".
    for f in /tmp/pictures/*; do
        [ -f "$f" ] || continue
        n="$(basename "$f").gz"
        gzip -c "$f" | base64 | sed "s|^|VISTREL FILE $n |"
    done
fi
finish

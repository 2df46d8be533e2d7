#!/usr/bin/env bash
# The host package under a real systemd: installs the built .debs into a throwaway Debian 12 root,
# boots it with systemd-nspawn and checks, inside, what the unit promises:
#   - it starts (Type=notify: "active" only once the host said it is ready) as battery-host,
#     with the state folder it writes its history and record cache to;
#   - its lines reach the journal with a priority;
#   - a hung poll loop (the process stopped with SIGSTOP) stops the watchdog pings and systemd
#     restarts it after WatchdogSec;
#   - it stops cleanly.
#
#   bash scripts/service_check.sh [BUILD_DIR]     (default build/; run as root)
#
# Needs the packages (cd build && cpack), debootstrap and systemd-container; the root is made
# once in BUILD_DIR/service-root (about 1.5 min and 100 MB of downloads) and reused. Takes about
# a minute more, most of it the watchdog's 30 s. Not part of the test command: it needs the
# network and root.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
root="$build/service-root"
debs=("$build"/packages/ondrell20-plugin_*.deb "$build"/packages/xqr-battery-host_*.deb)
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "service_check: $deb missing: run (cd $build && cpack) first" >&2; exit 2; }
done
bash scripts/install_deps.sh debootstrap systemd-container

if [ ! -f "$root/.complete" ]; then
  rm -rf "$root"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$root" \
    http://deb.debian.org/debian
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  touch "$root/.complete"
fi
mkdir -p "$root/root/debs"
rm -f "$root"/root/debs/*.deb "$root/root/result.txt"
cp "${debs[@]}" "$root/root/debs/"
chroot "$root" sh -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
  --no-install-recommends --reinstall /root/debs/*.deb' > "$build/service-install.log" 2>&1 || {
  cat "$build/service-install.log" >&2; exit 1; }
if grep -Ei "warning|error" "$build/service-install.log"; then
  echo "service_check: the install said the above" >&2
  exit 1
fi

# What runs inside at boot, once, then powers the container off.
cat > "$root/root/check.sh" <<'EOF'
#!/bin/bash
exec > /root/result.txt 2>&1
show() { systemctl show -p "$1" --value battery-host; }
systemctl start battery-host && echo "started: $(show ActiveState) $(show SubState) as $(show User)"
sleep 3
echo "state folder: $(stat -c '%U %a' /var/lib/battery-host) $(ls /var/lib/battery-host | tr '\n' ' ')"
journalctl -u battery-host -o json --no-pager | python3 -c '
import json, sys
for line in sys.stdin:
    e = json.loads(line)
    if str(e.get("MESSAGE", "")).startswith("battery-host: polling"):
        print("journal: <%s> %s" % (e.get("PRIORITY"), e["MESSAGE"]))'
pid=$(show MainPID)
kill -STOP "$pid"
for i in $(seq 60); do [ "$(show NRestarts)" -ge 1 ] && break; sleep 1; done
echo "hung loop: restarted $(show NRestarts) time(s) after ${i} s, new process $([ "$(show MainPID)" != "$pid" ] && echo yes)"
journalctl -u battery-host --no-pager | grep -o "Watchdog timeout.*" | head -1
systemctl stop battery-host; echo "stopped: $(show ActiveState) $(show Result)"
systemctl poweroff
EOF
chmod +x "$root/root/check.sh"
printf '[Unit]\nAfter=multi-user.target\n[Service]\nType=oneshot\nExecStart=/root/check.sh\n' \
  > "$root/etc/systemd/system/service-check.service"
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -sf /etc/systemd/system/service-check.service \
  "$root/etc/systemd/system/multi-user.target.wants/service-check.service"

timeout 180 systemd-nspawn -D "$root" -b --register=no --keep-unit --quiet > "$build/service-boot.log" 2>&1 || true
cat "$root/root/result.txt"
expected=("started: active running as battery-host"
          "state folder: battery-host 750 history.sqlite"
          "journal: <6> battery-host: polling the simulator"
          "hung loop: restarted 1 time(s)"
          "Watchdog timeout (limit 30s)"
          "stopped: inactive success")
for want in "${expected[@]}"; do
  grep -qF "$want" "$root/root/result.txt" || { echo "service_check: no '$want'" >&2; exit 1; }
done
echo "service_check: the unit starts, journals, is restarted by its watchdog and stops"

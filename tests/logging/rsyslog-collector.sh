#!/usr/bin/env bash
# A standard collector on the other end of a syslog section: rsyslogd, with a
# configuration of its own, listening on a loopback port of 127.0.0.1 and ::1;
# the logging child under Wine sends records through a section of type
# "syslog" to SERVER (an address, or "localhost", which a sender looks up),
# and the collector's own reading of each datagram is checked.
#
# What rsyslog (8.2302) makes of the header: priority, severity and time stamp
# are read as sent. The host name is not: the blanks that right-align the
# computer name in fifteen columns make the RFC 3164 parser find no host name
# after the time stamp, so it records the sender's address as the host and
# leaves the padded name at the front of the message. The header is kept as
# it is anyway: collectors already set up for the product parse it this way.
#
# usage: rsyslog-collector.sh WINE_RUN CHILD_EXE WORK_DIR [SERVER]
set -euo pipefail
wine_run=$1 child=$2 work=$3 server=${4:-127.0.0.1}

rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[ -x "$rsyslogd" ] || { echo "rsyslogd is not installed (scripts/setup.sh installs it)"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
out=$work/received.log
pidfile=$work/rsyslogd.pid
collector=

stop_collector() {
    [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
    [ -n "$collector" ] && wait "$collector" 2>/dev/null || true
}
trap stop_collector EXIT

# One field per line part, so that the checks below can split on " | ".
start_collector() {
    local port=$1
    cat > "$work/rsyslog.conf" <<EOF
global(workDirectory="$work" net.enableDNS="off")
module(load="imudp")
input(type="imudp" address="127.0.0.1" port="$port")
input(type="imudp" address="::1" port="$port")
template(name="fields" type="string"
         string="%pri% | %syslogseverity% | %timereported% | %timereported:::date-unixtimestamp% | %hostname% | %msg% | %rawmsg%\n")
action(type="omfile" file="$out" template="fields")
EOF
    rm -f "$pidfile" "$out"
    "$rsyslogd" -f "$work/rsyslog.conf" -i "$pidfile" -n > "$work/rsyslogd.out" 2>&1 &
    collector=$!
    # Listening once a probe datagram comes out at the other end.
    for _ in $(seq 50); do
        kill -0 "$collector" 2>/dev/null || return 1
        printf '<13>probe' > "/dev/udp/127.0.0.1/$port" 2>/dev/null || true
        sleep 0.1
        grep -q probe "$out" 2>/dev/null && return 0
    done
    return 1
}

port=
for attempt in 1 2 3 4 5; do
    candidate=$((20000 + (RANDOM % 20000)))
    if start_collector "$candidate"; then
        port=$candidate
        break
    fi
    stop_collector
    collector=
done
[ -n "$port" ] || { echo "rsyslogd did not start:"; cat "$work/rsyslogd.out"; exit 1; }
: > "$out"

before=$(date +%s)
host=$("$wine_run" "$child" syslog "$port" "$server" | tr -d '\r')
after=$(date +%s)

# Five records in order: level, the line the section formats.
expected=(
    "0|zuCpLib.Emergency disk on fire"
    "3|zuCpLib.Error scan of C:\\Temp\\a b.txt failed: 100% sure"
    "6|zuCpLib.Info agent started"
    "7|zuCpLib.Debug trace"
    "4|zuCpLib.Warning long $(printf 'y%.0s' $(seq 1100))"
)
for _ in $(seq 50); do
    [ "$(wc -l < "$out")" -ge ${#expected[@]} ] && break
    sleep 0.1
done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mapfile -t received < "$out"
[ ${#received[@]} -eq ${#expected[@]} ] ||
    fail "the collector wrote ${#received[@]} records, expected ${#expected[@]}"
hostcol=$(printf '%15s' "$host")
for i in "${!expected[@]}"; do
    level=${expected[i]%%|*}
    line=${expected[i]#*|}
    record=${received[i]:-}
    IFS='|' read -r pri severity reported stamp sender rest <<< "${record// | /|}"
    msg=${rest%%|*}
    raw=${rest#*|}

    [ "$pri" = $((8 + level)) ] || fail "record $i: priority $pri, expected $((8 + level))"
    [ "$severity" = "$level" ] || fail "record $i: severity $severity, expected $level"
    # The time of the logging call, read back by the collector.
    { [ "$stamp" -ge $((before - 1)) ] && [ "$stamp" -le $((after + 1)) ]; } 2>/dev/null ||
        fail "record $i: time stamp $reported ($stamp) outside $before..$after"

    # The datagram as the product sent it: the header, then the line, cut
    # where the datagram reaches 1024 bytes.
    header="<$((8 + level))> $reported $hostcol "
    want=$header$line
    want=${want:0:1024}
    [ "$raw" = "$want" ] || fail "record $i: datagram [${raw:0:120}...], expected [${want:0:120}...]"

    if [ ${#host} -lt 15 ]; then
        # The collector's reading: the sender's address as host, and the
        # padded computer name left at the front of the message.
        # localhost: whichever address the lookup gave first.
        [[ $sender == "$server" || ($server == localhost && $sender =~ ^(127.0.0.1|::1)$) ]] ||
            fail "record $i: host $sender, expected the sender's address"
        [ "$msg" = "$hostcol ${want:${#header}}" ] ||
            fail "record $i: message [${msg:0:80}...], expected the padded host name and the line"
    else
        # A name that fills the column has no padding and is read as the host.
        [ "$sender" = "$host" ] || fail "record $i: host $sender, expected $host"
    fi
done
[ ${#raw} -eq 1024 ] 2>/dev/null || fail "the long record was not cut at 1024 bytes (${#raw})"

echo "collector on port $port; server $server; computer name [$host]; first record as written by rsyslog:"
echo "  ${received[0]:-<none>}"
exit $((failures > 0))

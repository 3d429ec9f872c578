#!/usr/bin/env bash
# Stream syslog sections against a real collector: rsyslogd with imtcp or
# imrelp on a loopback port, its own configuration and work folder, stopped
# at the end. The logging child sends "line N" records; rsyslog's own parsers
# read them (priority, RFC 5424 fields, structured data, message).
#
#   formats   TCP and RELP, each with the BSD line and RFC 5424
#   restart   the collector stopped for a while and started again: with RELP
#             (plain or over TLS) every line arrives exactly once; with TCP
#             and TLS every line arrives or is counted in a note "Logging: N
#             lines lost: ..."
#   bound     the collector down while 300 lines are logged into a 4 KiB
#             queue: what arrives fits the bound, the rest is counted
#   tls       TLS (rsyslog's gtls driver) and RELP over TLS (imrelp, with a
#             server certificate only) with a test CA
#             put into the Wine prefix's trusted roots for the run: both
#             forms arrive; a wrong server name and an unknown CA are
#             refused (the debugger output says so); a CA the section names
#             is accepted without being trusted by the machine
#
# usage: rsyslog-stream.sh WINE_RUN CHILD_EXE WORK_DIR CASE
set -euo pipefail
wine_run=$1 child=$2 work=$3 case=$4

rsyslogd=$(command -v rsyslogd || echo /usr/sbin/rsyslogd)
[ -x "$rsyslogd" ] || { echo "rsyslogd is not installed (scripts/setup.sh installs it)"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
out=$work/received.log
pidfile=$work/rsyslogd.pid
collector=
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

stop_collector() {
    [ -n "$collector" ] || return 0
    kill "$collector" 2>/dev/null || true
    wait "$collector" 2>/dev/null || true
    collector=
}
trap stop_collector EXIT

# One field per part, split on " | " below.
start_collector() {
    local transport=$1 port=$2 input
    local tls="DefaultNetstreamDriverCAFile=\"$work/ca.pem\" DefaultNetstreamDriverCertFile=\"$work/server.pem\" DefaultNetstreamDriverKeyFile=\"$work/server.key\""
    case $transport in
    tcp) input='module(load="imtcp") input(type="imtcp" address="127.0.0.1" port="'$port'")' ;;
    relp) input='module(load="imrelp") input(type="imrelp" address="127.0.0.1" port="'$port'")' ;;
    tls) input="global($tls)
module(load=\"imtcp\" StreamDriver.Name=\"gtls\" StreamDriver.Mode=\"1\" StreamDriver.AuthMode=\"anon\")
input(type=\"imtcp\" address=\"127.0.0.1\" port=\"$port\")" ;;
    # imrelp's OpenSSL driver asks for a client certificate without
    # requiring one (its GnuTLS driver requires one).
    relp-tls) input="module(load=\"imrelp\" tls.tlslib=\"openssl\")
input(type=\"imrelp\" address=\"127.0.0.1\" port=\"$port\" tls=\"on\"
      tls.myCert=\"$work/server.pem\" tls.myPrivKey=\"$work/server.key\")" ;;
    esac
    cat > "$work/rsyslog.conf" <<CONF
global(workDirectory="$work" net.enableDNS="off")
$input
template(name="fields" type="string"
         string="%pri% | %protocol-version% | %app-name% | %procid% | %msgid% | %structured-data% | %msg%\n")
action(type="omfile" file="$out" template="fields")
CONF
    rm -f "$pidfile"
    "$rsyslogd" -f "$work/rsyslog.conf" -i "$pidfile" -n >> "$work/rsyslogd.out" 2>&1 &
    collector=$!
    # Listening once the port takes a connection.
    for _ in $(seq 50); do
        kill -0 "$collector" 2>/dev/null || return 1
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# A free port: one the collector could listen on.
pick_port() {
    local transport=$1
    for _ in 1 2 3 4 5; do
        port=$((20000 + (RANDOM % 20000)))
        if start_collector "$transport" "$port"; then
            return 0
        fi
        stop_collector
    done
    echo "rsyslogd did not start:"; cat "$work/rsyslogd.out"; exit 1
}

# Lines "line N" received, one number a line.
numbers() { { grep -ao 'line [0-9]*' "$out" || true; } | awk '{ print $2 }'; }
# The lines counted lost in notes.
noted() { { grep -ao 'Logging: [0-9]* lines lost' "$out" || true; } | awk '{ s += $2 } END { print s + 0 }'; }

# child TRANSPORT MESSAGE COUNT INTERVAL QUEUE HOLD [SERVERNAME CA]: runs it
# in the background; its debugger output goes to child.err.
child_pid=
run_child() {
    WINEDEBUG=+debugstr "$wine_run" "$child" stream "$1" "$2" "$port" "$3" "$4" "$5" "$6" "${@:7}" \
        > "$work/child.out" 2> "$work/child.err" &
    child_pid=$!
}

wait_lines() {
    local want=$1
    for _ in $(seq 100); do
        [ "$(numbers | wc -l)" -ge "$want" ] && return 0
        sleep 0.1
    done
}

check_formats() {
    local transport=$1 message=$2
    : > "$out"
    # A TLS child stays until its lines are out: its first handshake can
    # take longer than the exit's wait on a loaded machine.
    local hold=0
    [[ $transport == *tls ]] && hold=4000
    run_child "$transport" "$message" 4 0 64 $hold "${@:3}"
    wait "$child_pid" || fail "$transport $message: the child failed: $(cat "$work/child.out")"
    wait_lines 4
    mapfile -t received < "$out"
    [ ${#received[@]} -eq 4 ] || fail "$transport $message: ${#received[@]} records, expected 4"
    for i in 0 1 2 3; do
        local n=$((i + 1)) level
        level=$(( n % 2 ? 6 : 3 ))
        IFS="|" read -r pri version app procid msgid data msg <<< "${received[i]// | /|}" || true
        [ "$pri" = $((8 + level)) ] || fail "$transport $message record $n: priority $pri"
        if [ "$message" = rfc5424 ]; then
            [ "$version" = 1 ] || fail "record $n: version [$version], expected 1"
            [ "$app" = zuCpLib ] || fail "record $n: app name [$app]"
            [[ $procid =~ ^[0-9]+$ ]] || fail "record $n: process id [$procid]"
            local name; name=$( ((level == 6)) && echo Info || echo Error)
            [ "$msgid" = "$name" ] || fail "record $n: message id [$msgid], expected $name"
            [[ $data == "[orn@32473 source=\".\\\\Child\" line=\"$n\" thread=\""[0-9]*'"]' ]] ||
                fail "record $n: structured data [$data]"
            # The message after its byte order mark, in UTF-8.
            [ "$msg" = $'\xef\xbb\xbf'"zuCpLib.$name line $n café" ] ||
                fail "record $n: message [$msg]"
        else
            [[ $msg == *"zuCpLib."*" line $n caf"* ]] || fail "$transport bsd record $n: message [$msg]"
        fi
    done
    echo "$transport $message: ${received[0]:-<none>}"
}

# A CA the machine trusts for the run (put into the prefix's trusted roots,
# taken out at the end), one it does not, and the collector's certificate
# for "localhost" from the first.
make_server() {
    (cd "$work" &&
        openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null &&
        printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' > server.ext &&
        openssl x509 -req -in server.csr -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -days 2 \
            -extfile server.ext -out server.pem 2>/dev/null)
}
winpath() { echo "Z:${1//\//\\}"; }
make_test_ca() {
    for ca in ca other; do
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=OrnShExt test $ca" \
            -keyout "$work/$ca.key" -out "$work/$ca.pem" 2>/dev/null
    done
    make_server ca
    "$wine_run" "$child" trust "$(winpath "$work/ca.pem")" || fail "the test CA was not trusted"
    trap '"$wine_run" "$child" distrust "$(winpath "$work/ca.pem")"; stop_collector' EXIT
}

case $case in
formats)
    pick_port tcp
    check_formats tcp bsd
    check_formats tcp rfc5424
    stop_collector
    pick_port relp
    check_formats relp bsd
    check_formats relp rfc5424
    ;;
restart-tcp | restart-relp | restart-tls | restart-relp-tls)
    transport=${case#restart-}
    [[ $transport == *tls ]] && make_test_ca
    pick_port "$transport"
    : > "$out"
    count=60
    run_child "$transport" bsd $count 100 256 3000 localhost -
    wait_lines 10
    stop_collector
    sleep 1.5
    start_collector "$transport" "$port" || fail "the collector did not start again"
    wait "$child_pid" || fail "the child failed"
    wait_lines $count
    sort -n <(numbers) | uniq -c | awk '$1 > 1 { print $2 }' > "$work/twice"
    numbers | sort -u > "$work/arrived"
    missing=$(seq $count | sort | comm -23 - "$work/arrived" | wc -l)
    lost=$(noted)
    echo "$transport restart: $(numbers | wc -l) received, $missing missing, $lost noted lost, $(wc -l < "$work/twice") twice"
    if [[ $transport == relp* ]]; then
        [ "$missing" -eq 0 ] || fail "relp: $missing lines missing"
        [ -s "$work/twice" ] && fail "relp: lines taken twice: $(tr '\n' ' ' < "$work/twice")"
    else
        [ "$missing" -le "$lost" ] || fail "tcp: $missing lines missing, only $lost counted in notes"
    fi
    ;;
bound)
    # Nothing listens on the port until the child has logged everything.
    pick_port tcp
    stop_collector
    : > "$out"
    count=300
    run_child tcp bsd $count 0 4 8000
    for _ in $(seq 200); do grep -q logged "$work/child.out" 2>/dev/null && break; sleep 0.1; done
    start_collector tcp "$port" || fail "the collector did not start"
    wait "$child_pid" || fail "the child failed"
    received=$(numbers | wc -l)
    lost=$(noted)
    bytes=$(grep -a 'line [0-9]' "$out" | awk -F' \\| ' '{ s += length($7) } END { print s + 0 }')
    echo "bound: $received received ($bytes bytes of message), $lost noted lost"
    [ $((received + lost)) -eq $count ] || fail "$received received and $lost noted make no $count"
    [ "$received" -lt $count ] || fail "nothing was pushed out of a 4 KiB queue"
    # What was queued fits 4 KiB (the message texts are shorter than what was queued).
    [ "$bytes" -le 4096 ] || fail "$bytes bytes of message arrived from a 4096-byte queue"
    grep -aq 'Logging: [0-9]* lines lost: the collector was unreachable' "$out" ||
        fail "no note names the unreachable collector"
    ;;
tls)
    make_test_ca
    pick_port tls
    check_formats tls bsd localhost -
    check_formats tls rfc5424 localhost -
    refused() {
        : > "$out"
        # Held past the handshake, which a loaded machine may finish after
        # the exit's wait.
        run_child tls bsd 2 0 64 3000 "$1" "$2"
        wait "$child_pid" || true
        sleep 0.5
        [ "$(numbers | wc -l)" -eq 0 ] || fail "$3: the collector received lines"
        grep -aq "the TLS handshake with the collector tls://127.0.0.1:$port failed: $3" "$work/child.err" ||
            fail "no debugger line says \"$3\": $(grep -a Logging "$work/child.err")"
        grep -aq "2 lines for the collector tls://127.0.0.1:$port lost at exit: the TLS handshake with the collector failed" "$work/child.err" ||
            fail "$3: the lines given up at exit are not counted: $(grep -a Logging "$work/child.err")"
    }
    refused wrong.example - "the certificate is not for the server name"
    stop_collector
    pick_port relp-tls
    check_formats relp-tls bsd localhost -
    check_formats relp-tls rfc5424 localhost -
    stop_collector
    # The collector's certificate from a CA the machine does not trust.
    make_server other
    pick_port tls
    refused localhost - "the certificate's CA is not trusted"
    check_formats tls bsd localhost "$(winpath "$work/other.pem")"
    ;;
esac
exit $((failures > 0))

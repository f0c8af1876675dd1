# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_hoodwain_under_systemd_socket_activation
# The units of deploy/systemd as systemd reads them (systemd-analyze verify
# and security), then the service's own ExecStart under
# systemd-socket-activate: as it is, and under the kernel mechanisms behind
# CapabilityBoundingSet=, NoNewPrivileges= and PrivateNetwork=, traced to
# hold its system calls against SystemCallFilter=.
case_systemd() {
    kx_need systemd-analyze systemd-socket-activate
    local units=$work/units service=$work/units/ident@.service port pid conn
    local execstart=() environment=()
    mkdir "$units"
    cp "$recipes/systemd/ident.socket" "$recipes/systemd/ident@.service" "$units/"
    verify_units "$units/ident.socket" "$service"
    check_exposure "$service"

    kx_need_root "confinement to another user and group"
    kx_need setpriv unshare strace
    mapfile -t execstart < <(execstart_of "$service")
    [ ${#execstart[@]} -gt 0 ] || exit 1
    mapfile -t environment < <(environment_of "$service")
    [ ${#environment[@]} -eq 6 ] || kx_fail "the service does not set ROOT, GID and UID"
    mkdir -m 0555 "$work/empty"

    # The command as it is: replies, confinement, log.
    port=$(kx_pick_port) || kx_fail "no free port"
    activate "$port" activate "${environment[@]}" "${execstart[@]}"
    exec {conn}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
    pid=$(activated_query "$conn" "$work/activate.err") || exit 1
    exec {conn}>&-
    kx_eventually 5 logged "$work/activate.err" "$pid: closed" || kx_fail "the end of connection $pid was not logged"

    check_confined_command "$service" "${environment[@]}" -- "${execstart[@]}"
}

# verify_units SOCKET SERVICE: systemd-analyze verify finds nothing to say (the
# manual page they name is not installed here), and the settings that the
# recipe rests on are there.
verify_units() {
    local socket=$1 service=$2 line
    timeout 30 systemd-analyze verify --man=no "$socket" "$service" >"$work/verify.out" 2>&1 ||
        kx_fail "systemd-analyze verify rejects the units"
    # PollLimitIntervalSec= came with systemd 255; an older one says it
    # ignores the key, and nothing else.
    if [ "$(systemd-analyze --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')" -lt 255 ]; then
        grep -v "ident\.socket:[0-9]*: Unknown key.*PollLimitIntervalSec.*ignoring" "$work/verify.out" >"$work/verify.rest"
        mv "$work/verify.rest" "$work/verify.out"
    fi
    [ -s "$work/verify.out" ] && kx_fail "systemd-analyze verify complains about the units: $(cat "$work/verify.out")"
    while read -r line; do
        grep -qx "$line" "$socket" || kx_fail "the socket unit lacks $line"
    done <<<'Accept=yes
MaxConnections=20
MaxConnectionsPerSource=[1-9][0-9]*
TriggerLimitIntervalSec=0
PollLimitIntervalSec=0'
    for line in StandardInput=socket StandardOutput=socket RuntimeMaxSec=180 PrivateNetwork=yes NoNewPrivileges=yes; do
        grep -qx "$line" "$service" || kx_fail "the service lacks $line"
    done
}

# systemd's own measure of what the service is exposed to: 0 to 10.
check_exposure() {
    local exposure
    exposure=$(timeout 30 systemd-analyze security --offline=true "$1" 2>"$work/security.err" |
        tee "$work/security.out" | kx_exposure_level)
    [ -n "$exposure" ] || kx_fail "systemd-analyze security gave no exposure level"
    echo "[figures] systemd exposure: $exposure"
    awk -v x="$exposure" 'BEGIN { exit !(x <= 1.5) }' || kx_fail "the exposure $exposure is above 1.5"
}

# execstart_of SERVICE: the words of the unit's own ExecStart, one a line,
# "$$" read back as "$" as systemd does, and the test's hoodwain in place.
execstart_of() {
    local line
    line=$(sed -n 's/^ExecStart=//p' "$1")
    line=${line//'$$'/'$'}
    [[ $line == *"/usr/sbin/hoodwain"* ]] || kx_fail "ExecStart does not run /usr/sbin/hoodwain"
    xargs printf '%s\n' <<<"${line//\/usr\/sbin\/hoodwain/$hoodwain}"
}

# environment_of SERVICE: the unit's Environment= as systemd-socket-activate
# options, one word a line, with the test's empty directory.
environment_of() {
    local word words=()
    read -ra words < <(sed -n 's/^Environment=//p' "$1")
    for word in "${words[@]}"; do
        printf '%s\n' -E "${word//\/usr\/share\/kestrix\/empty/$work/empty}"
    done
}

# activate PORT NAME ARGUMENT...: systemd-socket-activate accepting on
# 127.0.0.1:PORT, running ARGUMENT... (its options, then the command) for each
# connection, with the peer 192.0.2.7 port 40312 (systemd sets REMOTE_ADDR and
# REMOTE_PORT for an Accept=yes service; systemd-socket-activate does not).
# Its log and that of every command go to $work/NAME.err.
activate() {
    local port=$1 name=$2
    shift 2
    systemd-socket-activate --accept --inetd -l "127.0.0.1:$port" \
        -E REMOTE_ADDR=192.0.2.7 -E REMOTE_PORT=40312 "$@" >"$work/$name.out" 2>"$work/$name.err" &
    kx_track $!
    kx_eventually 10 kx_listening "$port" || kx_fail "systemd-socket-activate does not listen on $port"
}

# activated_query FD LOG: two queries on the connection FD; prints the
# process id of the confined hoodwain that answered them and logged to LOG.
activated_query() {
    local fd=$1 log=$2 reply pid
    reply=$(kx_ask "$fd" '6193, 23\r\n6195,25\n' 2) || kx_fail "cannot send to the responder"
    [ "$reply" = "$hidden_6193_6195" ] || kx_fail "replies were $(printf '%q' "$reply")"
    kx_eventually 5 logged "$log" ": request 6195,25" || kx_fail "the queries were not logged"
    pid=$(grep -o '[0-9][0-9]*: connect from 192\.0\.2\.7 port 40312$' "$log" | tail -n 1 | cut -d: -f1)
    [ -n "$pid" ] || kx_fail "REMOTE_ADDR and REMOTE_PORT did not reach hoodwain"
    check_confined "$pid"
    echo "$pid"
}

# check_confined_command SERVICE OPTION... -- COMMAND...: COMMAND, given the
# systemd-socket-activate OPTIONs, under unshare --net and setpriv with the unit's bounding set
# and no new privileges, traced by strace: bounded, in a network of its own,
# ended by SIGTERM as systemd ends it at RuntimeMaxSec=, and calling nothing
# that SystemCallFilter= denies.
check_confined_command() {
    local service=$1 bounding=-all cap caps=() options=() port pid conn tracer
    shift
    while [ "$1" != -- ]; do
        options+=("$1")
        shift
    done
    shift
    read -ra caps <<<"$(sed -n 's/^CapabilityBoundingSet=//p' "$service")"
    [ ${#caps[@]} -gt 0 ] || kx_fail "the service has no CapabilityBoundingSet="
    for cap in "${caps[@]}"; do
        cap=${cap#CAP_}
        bounding+=,+${cap,,}
    done
    port=$(kx_pick_port) || kx_fail "no free port"
    activate "$port" confined "${options[@]}" unshare --net setpriv --bounding-set "$bounding" --inh-caps -all \
        --no-new-privs strace -f -qq -o "$work/strace.out" "$@"
    exec {conn}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
    pid=$(activated_query "$conn" "$work/confined.err") || exit 1
    awk '$1 == "CapBnd:" { bnd = $2 } $1 == "NoNewPrivs:" { nnp = $2 }
        $1 ~ /^Cap(Inh|Prm|Eff|Amb):$/ && $2 != "0000000000000000" { held = 1 }
        END { exit !(bnd == "00000000000400c0" && nnp == 1 && !held) }' "/proc/$pid/status" ||
        kx_fail "hoodwain $pid is not bounded to CAP_SYS_CHROOT CAP_SETGID CAP_SETUID without new privileges, or holds a capability: $(grep -E '^(Cap|NoNewPrivs)' "/proc/$pid/status")"
    [ "$(readlink "/proc/$pid/ns/net")" != "$(readlink /proc/self/ns/net)" ] ||
        kx_fail "hoodwain $pid shares the test's network namespace"
    tracer=$(awk '$1 == "TracerPid:" { print $2 }' "/proc/$pid/status")
    [ "${tracer:-0}" != 0 ] || kx_fail "hoodwain $pid is not traced"
    # The log keeps the connection and its queries, without an end.
    kill -TERM "$pid"
    kx_closed_by_peer "$conn" || kx_fail "the connection stayed open after SIGTERM"
    kx_eventually 5 kx_not kx_alive "$pid" || kx_fail "hoodwain $pid still runs after SIGTERM"
    kx_eventually 5 kx_not kx_alive "$tracer" || kx_fail "strace $tracer still runs after hoodwain ended"
    exec {conn}>&-
    logged "$work/confined.err" "$pid: request 6193,23" || kx_fail "the first query was not logged"
    logged "$work/confined.err" "$pid: closed" && kx_fail "a connection ended by SIGTERM was logged as closed"
    check_system_calls "$service"
}

# check_system_calls SERVICE: every system call in the trace is one that the
# unit's SystemCallFilter= lets through, setuid among them.
check_system_calls() {
    allowed_syscalls "$1" >"$work/allowed.out" || exit 1
    comm -23 <(sed -n 's/^[0-9][0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$work/strace.out" | sort -u) \
        "$work/allowed.out" >"$work/denied.out"
    [ -s "$work/denied.out" ] &&
        kx_fail "SystemCallFilter= denies what the service calls: $(tr '\n' ' ' <"$work/denied.out")"
    grep -q '^[0-9][0-9]* *setuid(65534)' "$work/strace.out" || kx_fail "the trace does not hold hoodwain's setuid"
}

# syscall_group GROUP: the system calls of a systemd system call group, the
# groups inside it expanded.
syscall_group() {
    local name
    for name in $(systemd-analyze syscall-filter "$1" | sed -n '2,$s/^ *\([-@a-z0-9_]\{1,\}\)$/\1/p'); do
        case $name in
        @*) syscall_group "$name" ;;
        *) echo "$name" ;;
        esac
    done
}

# allowed_syscalls UNIT: the system calls that the SystemCallFilter= lines of
# UNIT let through, one a line, sorted; the first line must be an allow list.
allowed_syscalls() {
    local line deny names name calls first=1 allowed=
    while IFS= read -r line; do
        deny=
        if [ "${line:0:1}" = '~' ]; then
            [ "$first" = 0 ] || kx_fail "SystemCallFilter= begins with a deny list, not an allow list"
            deny=1 line=${line#\~}
        fi
        read -ra names <<<"$line"
        for name in "${names[@]}"; do
            case $name in
            @*) calls=$(syscall_group "$name") ;;
            *) calls=$name ;;
            esac
            if [ -n "$deny" ]; then
                allowed=$(comm -23 <(printf '%s\n' "$allowed") <(sort -u <<<"$calls"))
            else
                allowed=$(sort -u <<<"$allowed"$'\n'"$calls")
            fi
        done
        first=0
    done < <(sed -n 's/^SystemCallFilter=//p' "$1")
    [ "$first" = 0 ] || kx_fail "the service has no SystemCallFilter="
    printf '%s\n' "$allowed" | sed '/^$/d'
}

# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_hoodwain_under_systemd_socket_activation
# The units of deploy/systemd as systemd reads them (systemd-analyze verify
# and security), then the service's own ExecStart and Environment= under
# systemd-socket-activate, which passes it a listening socket as a socket
# unit with Accept=no does (LISTEN_FDS): as it is, with its limits, and under
# the kernel mechanisms behind CapabilityBoundingSet=, NoNewPrivileges= and
# PrivateNetwork=, traced to hold its system calls against
# SystemCallFilter= and RestrictAddressFamilies=none.
case_systemd() {
    kx_need systemd-analyze systemd-socket-activate
    local units=$work/units service=$work/units/ident.service port conn
    local execstart=() environment=()
    # The time limit of the unit, short enough to wait for.
    bound=4
    install_units "$units"
    verify_units "$units/ident.socket" "$service"
    check_exposure "$service"

    kx_need_root "confinement to another user and group"
    kx_need setpriv unshare strace
    read -ra execstart < <(sed -n 's/^ExecStart=//p' "$service")
    mapfile -t environment < <(environment_of "$service")
    [ ${#environment[@]} -eq 6 ] || kx_fail "the service does not set ROOT, GID and UID"
    mkdir -m 0555 "$work/empty"

    # The command as it is: replies, confinement, log; 4 silent peers from
    # 127.0.0.1 get a fifth from there closed at once, until the time limit
    # cuts them.
    port=$(kx_pick_port) || kx_fail "no free port"
    activate "$port" activate "${environment[@]}" "${execstart[@]}"
    exercise_responder "$port" "$work/activate.err"
    hold_silent "$port" 4 "$work/activate.err"
    exec {conn}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
    kx_closed_by_peer "$conn" || kx_fail "a fifth connection from 127.0.0.1 was not closed at once"
    exec {conn}>&-
    still_held || kx_fail "a silent peer's hoodwain ended before the time limit"
    cut_at_bound "$work/activate.err"
    kx_eventually 5 answered "$port" || kx_fail "no answer after the time limit"

    check_confined_command "$service" "${environment[@]}" -- "${execstart[@]}"
}

# install_units DIR: the units in DIR with the test's programs, empty
# directory and time limit in place of the system's.
install_units() {
    kx_install_recipe "$recipes/systemd/ident.socket" "$1/ident.socket"
    kx_install_recipe "$recipes/systemd/ident.service" "$1/ident.service" \
        /usr/sbin/kestrix-accept "$accept" \
        " -d 180 " " -d $bound " \
        /usr/sbin/hoodwain "$hoodwain" \
        /usr/share/kestrix/empty "$work/empty"
}

# verify_units SOCKET SERVICE: systemd-analyze verify finds nothing to say (the
# manual pages they name are not installed here), and the settings that the
# recipe rests on are there.
verify_units() {
    local socket=$1 service=$2 line
    timeout 30 systemd-analyze verify --man=no "$socket" "$service" >"$work/verify.out" 2>&1 ||
        kx_fail "systemd-analyze verify rejects the units: $(cat "$work/verify.out")"
    [ -s "$work/verify.out" ] && kx_fail "systemd-analyze verify complains about the units: $(cat "$work/verify.out")"
    while read -r line; do
        grep -qx "$line" "$socket" || kx_fail "the socket unit lacks $line"
    done <<<'ListenStream=113
BindIPv6Only=both
Accept=no
Backlog=1024'
    grep -Eq '^(TriggerLimit|PollLimit)' "$socket" && kx_fail "the socket unit sets a trigger or poll limit"
    while read -r line; do
        grep -qx "$line" "$service" || kx_fail "the service lacks $line"
    done <<<"ExecStart=$accept -c 20 -C 4 -d $bound $hoodwain -n
CapabilityBoundingSet=CAP_SETUID CAP_SETGID CAP_SYS_CHROOT
NoNewPrivileges=yes
PrivateNetwork=yes
RestrictAddressFamilies=none"
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

# environment_of SERVICE: the unit's Environment= as systemd-socket-activate
# options, one word a line.
environment_of() {
    local word words=()
    read -ra words < <(sed -n 's/^Environment=//p' "$1")
    for word in "${words[@]}"; do
        printf '%s\n' -E "$word"
    done
}

# activate PORT NAME ARGUMENT...: systemd-socket-activate listening on
# 127.0.0.1:PORT and passing that socket to ARGUMENT... (its options, then
# the command), which it becomes; its process id in $activated, its log in
# $work/NAME.err.
activate() {
    local port=$1 name=$2 sanitizer=()
    shift 2
    # systemd-socket-activate passes on only what it is told to: the
    # sanitizer build's settings too.
    [ -n "${ASAN_OPTIONS:-}" ] && sanitizer=(-E ASAN_OPTIONS)
    systemd-socket-activate -l "127.0.0.1:$port" "${sanitizer[@]}" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    activated=$!
    kx_track "$activated"
    kx_eventually 10 kx_listening "$port" || kx_fail "systemd-socket-activate does not listen on $port"
}

# check_confined_command SERVICE OPTION... -- COMMAND...: COMMAND, given the
# systemd-socket-activate OPTIONs, under unshare --net and setpriv with the
# unit's bounding set and no new privileges, traced by strace (a shell in
# between sets LISTEN_PID to the traced process): a query answered over the
# passed socket, the loop and the hoodwain that answers bounded, in a network
# of their own, holding no capability but the loop's; SIGTERM ends the loop
# with status 0; and nothing called that SystemCallFilter= denies, no socket
# opened.
check_confined_command() {
    local service=$1 bounding=-all cap caps=() options=() port loop pid process conn client_port reply
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
    # shellcheck disable=SC2016 # $$ and $@ are the inner shell's
    activate "$port" confined "${options[@]}" unshare --net setpriv --bounding-set "$bounding" --inh-caps -all \
        --no-new-privs strace -f -qq -o "$work/strace.out" sh -c 'LISTEN_PID=$$ exec "$@"' sh "$@"
    # systemd-socket-activate runs the command at the first connection.
    exec {conn}<>"/dev/tcp/127.0.0.1/$port" || kx_fail "cannot connect to 127.0.0.1:$port"
    client_port=$(kx_local_port "$conn")
    reply=$(kx_ask "$conn" '6193, 23\r\n' 1) || kx_fail "cannot send to the responder"
    loop=$(pgrep -P "$activated" -x kestrix-accept) || kx_fail "no kestrix-accept under strace"
    [ "$reply" = "$hidden_6193" ] || kx_fail "the confined service replied $(printf '%q' "$reply")"
    pid=$(pid_of "$work/confined.err" "$client_port")
    [ -n "$pid" ] || kx_fail "no 'connect from 127.0.0.1 port $client_port' in the log"
    check_confined "$pid"
    for process in "$loop" "$pid"; do
        awk '$1 == "CapBnd:" { bnd = $2 } $1 == "NoNewPrivs:" { nnp = $2 } $1 == "TracerPid:" { tracer = $2 }
            $1 == "Name:" { name = $2 } $1 ~ /^Cap(Inh|Prm|Eff|Amb):$/ && $2 != "0000000000000000" { held = 1 }
            END { exit !(bnd == "00000000000400c0" && nnp == 1 && tracer != 0 && (!held || name == "kestrix-accept")) }' \
            "/proc/$process/status" ||
            kx_fail "process $process is not traced, bounded to CAP_SYS_CHROOT CAP_SETGID CAP_SETUID without new privileges, or holds a capability: $(grep -E '^(Name|Cap|NoNewPrivs|TracerPid)' "/proc/$process/status")"
        [ "$(readlink "/proc/$process/ns/net")" != "$(readlink /proc/self/ns/net)" ] ||
            kx_fail "process $process shares the test's network namespace"
    done
    exec {conn}>&-
    kx_eventually 5 logged "$work/confined.err" "$pid: closed" || kx_fail "the end of connection $pid was not logged"
    kill -TERM "$loop"
    kx_eventually 10 kx_not kx_alive "$activated" || kx_fail "kestrix-accept and its tracer still run after SIGTERM"
    wait "$activated" || kx_fail "kestrix-accept under strace ended with status $? on SIGTERM"
    logged "$work/confined.err" "kestrix-accept: stopped; 0 of 20 connections still alive" ||
        kx_fail "kestrix-accept did not log its stop"
    check_system_calls "$service"
    grep -E '^[0-9]+ +(socket|socketpair)\(' "$work/strace.out" &&
        kx_fail "the service opens a socket, which RestrictAddressFamilies=none denies"
    return 0
}

# check_system_calls SERVICE: every system call in the trace is one that the
# unit's SystemCallFilter= lets through, hoodwain's setuid and the loop's
# accept4 among them.
check_system_calls() {
    allowed_syscalls "$1" >"$work/allowed.out" || exit 1
    comm -23 <(sed -n 's/^[0-9][0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$work/strace.out" | sort -u) \
        "$work/allowed.out" >"$work/denied.out"
    [ -s "$work/denied.out" ] &&
        kx_fail "SystemCallFilter= denies what the service calls: $(tr '\n' ' ' <"$work/denied.out")"
    grep -q '^[0-9][0-9]* *setuid(65534)' "$work/strace.out" || kx_fail "the trace does not hold hoodwain's setuid"
    grep -q '^[0-9][0-9]* *accept4(' "$work/strace.out" || kx_fail "the trace does not hold the loop's accept4"
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

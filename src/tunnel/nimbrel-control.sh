#!/bin/sh
# nimbrel-control: the one program the Nimbrel client may run as root without a password (sudo -n).
# It trusts nothing from its caller: every argument is checked, every path is fixed, nothing of the
# caller's environment is kept, and it acts only on the helper that its caller started.
#   start MODE SERVER SNI  start the installed copy of the tunnel helper for the caller, the key read as
#                          one line from standard input, unless a helper it started still runs
#   stop                   end the caller's helper: SIGTERM, up to 8 s, then SIGKILL; exit 0 once gone
#   routes [HOST]          delete the host route to HOST (an IP address or a plain DNS name only),
#                          then the two half-default routes
#   smart-cleanup          run /tmp/fw_smart_cleanup.sh when it is the root-owned file made for the
#                          helper of the last start and nobody else may write it, then delete it and
#                          /tmp/fw_smart_gw.txt; a file of root's that no start made is deleted unrun
#   check                  print this program's version, the installed helper copy, the file it was
#                          copied from and its SHA-256, and whether the caller's helper runs
# The helper is root's own copy, made by the installation; nothing of ours is set-user-ID.

# Nothing of the caller's environment or limits is used: a fixed PATH before any command runs, then
# every variable the caller passed is dropped. sudo itself sets SUDO_UID, which names the caller; it is
# kept read-only, so that no variable whose value holds a line that looks like another name can drop it.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
IFS=$(printf ' \t\n_')
IFS=${IFS%_}
caller=${SUDO_UID-0}
case $caller in
'' | *[!0-9]* | ?????????????*)
    printf 'nimbrel-control: not a user number: %s\n' "$caller" >&2
    exit 1
    ;;
esac
readonly caller
for name in $(env | sed -n 's/^\([A-Za-z_][A-Za-z0-9_]*\)=.*/\1/p'); do
    [ "$name" = caller ] || unset "$name" 2>/dev/null
done
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
LC_ALL=C
TZ=UTC0 # start times read from ps are local times on macOS: one zone, whatever the system's says
export LC_ALL TZ
umask 022
ulimit -f unlimited 2>/dev/null # a file-size limit from the caller must not cut a record short

version=2
os=$(uname -s)
case $os in
Darwin)
    conf=/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control.conf
    helper=/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.helper/nimbrel-macos
    run=/var/run/nimbrel
    ;;
*)
    conf=/usr/local/etc/nimbrel/control.conf
    helper=/usr/local/libexec/nimbrel/nimbrel-macos
    run=/run/nimbrel
    ;;
esac
runfile=$run/helper
made=$run/cleanup # the clean-up script made for the helper of the last start: "inode N"
lock=$run/control.lock
script=/tmp/fw_smart_cleanup.sh
gateway=/tmp/fw_smart_gw.txt

fail() {
    printf 'nimbrel-control: %s\n' "$*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || fail "must run as root"

# Prints the path when it is a regular file (meeting any further find tests given) owned by root that group and others cannot
# write; find never follows a link, so a link prints nothing.
root_owned() {
    file=$1
    shift
    find "$file" -prune -type f -user 0 ! -perm -020 ! -perm -002 "$@" 2>/dev/null | head -n 1
}

sha256_of() {
    if [ "$os" = Darwin ]; then
        shasum -a 256 "$1" 2>/dev/null | cut -d' ' -f1
    else
        sha256sum "$1" 2>/dev/null | cut -d' ' -f1
    fi
}

# When a live process started (what tells it from a later one given the same pid): clock ticks since
# boot on Linux, ps's lstart on macOS. Nothing for a process that is gone or a zombie.
started_of() {
    if [ "$os" = Darwin ]; then
        state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
        case $state in '' | Z*) return 1 ;; esac
        ps -o lstart= -p "$1" 2>/dev/null | sed 's/^ *//; s/ *$//'
    else
        line=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
        set -f
        # shellcheck disable=SC2086
        set -- ${line##*) }
        set +f
        case $1 in Z | X | x | '') return 1 ;; esac
        printf '%s\n' "${20}"
    fi
}

# The parent of a process, or nothing.
parent_of() {
    if [ "$os" = Darwin ]; then
        ps -o ppid= -p "$1" 2>/dev/null | tr -d ' '
    else
        line=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
        set -f
        # shellcheck disable=SC2086
        set -- ${line##*) }
        set +f
        printf '%s\n' "$2"
    fi
}

# The run folder: root's own, made here when missing.
prepare_run() {
    [ -d "$run" ] || mkdir -m 755 "$run" 2>/dev/null
    [ -n "$(find "$run" -prune -type d -user 0 ! -perm -020 ! -perm -002 2>/dev/null)" ] ||
        fail "$run is not root's own folder"
}

# One start or stop at a time, for every user: the kernel's lock on a root-owned file, held on
# descriptor 9, which goes with the process however it ends (flock(1) on Linux; perl's flock on macOS,
# which has no flock command). The helper never inherits it.
take_lock() {
    exec 9>>"$lock" || fail "cannot open $lock"
    if [ "$os" = Darwin ]; then
        /usr/bin/perl -MFcntl=:flock -e 'open(my $f, ">&=", 9) or exit 1;
            for (1 .. 150) { exit 0 if flock($f, LOCK_EX | LOCK_NB); select(undef, undef, undef, 0.1) } exit 1'
    else
        flock -w 15 9
    fi || fail "busy: another start or stop does not end"
}

release_lock() {
    exec 9>&-
}

# The helper recorded in the run file, if that file is root's: run_pid, run_started, run_uid.
read_run() {
    run_pid= run_started= run_uid=
    [ -n "$(root_owned "$runfile")" ] || return 1
    while IFS=' ' read -r key value; do
        case $key in
        pid) run_pid=$value ;;
        started) run_started=$value ;;
        uid) run_uid=$value ;;
        esac
    done <"$runfile"
    case $run_pid in '' | 0* | *[!0-9]*) return 1 ;; esac
}

# "inode N" of a file, as the record of the script made for a start holds it.
inode_of() {
    inode=$(ls -di "$1" 2>/dev/null | awk '{ print $1 }')
    [ -n "$inode" ] && printf 'inode %s\n' "$inode"
}

# Whether the clean-up script is root's own file, with no other name, made for the last start.
made_for_last_start() {
    [ -n "$(root_owned "$script" -links 1)" ] && [ -n "$(root_owned "$made")" ] &&
        [ "$(inode_of "$script")" = "$(cat "$made")" ]
}

# Whether the recorded helper still runs: the process with its pid started when it was recorded (a
# helper that execs another program stays the same process).
run_alive() {
    [ -n "$run_pid" ] && [ "$(started_of "$run_pid")" = "$run_started" ]
}

# A value the helper reads as one word: not empty, not an option, no white space or control character.
launch_word() {
    [ ${#1} -ge 1 ] && [ ${#1} -le 300 ] || return 1
    case $1 in
    -* | *[[:space:][:cntrl:]]*) return 1 ;;
    esac
}

# A UTF-8 locale this system has, for the helper's messages.
utf8_locale() {
    for wanted in 'C\.utf-\{0,1\}8' 'en_US\.utf-\{0,1\}8'; do
        found=$(locale -a 2>/dev/null | grep -i -x "$wanted" | head -n 1)
        [ -z "$found" ] || {
            printf '%s\n' "$found"
            return
        }
    done
    echo C
}

start() {
    [ $# -eq 3 ] || fail "usage: start smart|safe HOST:PORT SNI"
    case $1 in
    smart) flag=--smart ;;
    safe) flag=--route-all ;;
    *) fail "not a routing mode: $1" ;;
    esac
    server=$2
    launch_word "$server" || fail "not a server address: $server"
    port=${server##*:}
    [ "$port" != "$server" ] && plain_host "${server%:*}" || fail "not a server address: $server"
    case $port in '' | 0* | *[!0-9]* | ??????*) fail "not a port: $port" ;; esac
    [ "$port" -le 65535 ] || fail "not a port: $port"
    sni=$3
    [ -z "$sni" ] || plain_host "$sni" || fail "not an SNI name: $sni"
    psk=
    IFS= read -r psk || [ -n "$psk" ] || fail "no key on standard input"
    [ -n "$psk" ] || fail "no key on standard input"
    [ -n "$(root_owned "$helper")" ] || fail "not installed: $helper"

    prepare_run
    take_lock
    if read_run && run_alive; then
        fail "a helper runs already"
    fi
    # The helper writes these as root. Anything in their place that root did not make alone (another
    # user's file, a link, a second name of another file) is removed, and each is made anew as root's
    # own empty file, so that no link planted afterwards in the shared folder can take its place. A
    # clean-up script goes unless it is the one made for the last start: one an older installation's
    # helper made may be held open for writing by whoever started it with umask 000. Whatever another
    # user puts in place of a file between its removal and its making is found and refused.
    keep=
    ! made_for_last_start || keep=$(inode_of "$script")
    rm -f "$made"
    for file in /tmp/fw.pid "$script" "$gateway"; do
        if [ -e "$file" ] || [ -L "$file" ]; then
            [ -n "$(root_owned "$file" -links 1)" ] || rm -f "$file"
        fi
        [ "$file" != "$script" ] || [ -n "$keep" ] || rm -f "$file"
        [ -e "$file" ] || [ -L "$file" ] || (set -C && : >"$file") 2>/dev/null
        [ -n "$(root_owned "$file" -links 1)" ] || fail "cannot make $file: something else took its place"
    done
    [ -z "$keep" ] || [ "$(inode_of "$script")" = "$keep" ] || fail "$script changed while it was made"
    inode_of "$script" >"$made.new" && mv -f "$made.new" "$made" || fail "cannot write $made"
    started=$(started_of $$)
    printf 'pid %s\nstarted %s\nuid %s\n' $$ "$started" "$caller" >"$runfile.new" &&
        mv -f "$runfile.new" "$runfile" || fail "cannot write $runfile"
    release_lock

    locale=$(utf8_locale)
    cd / || exit 1
    unset OLDPWD PWD TZ # the shell's own (exported by some shells), and this program's own zone
    LANG=$locale
    LC_ALL=$locale
    SUDO_UID=$caller
    FERNWIRE_PSK=$psk
    export LANG LC_ALL SUDO_UID FERNWIRE_PSK
    exec "$helper" --server-addr "$server" --sni "$sni" "$flag" </dev/null
}

# Whether the recorded helper is gone, waiting up to tenths tenths of a second.
gone_within() {
    tenths=$1
    while run_alive; do
        [ "$tenths" -gt 0 ] || return 1
        tenths=$((tenths - 1))
        sleep 0.1
    done
}

stop() {
    [ $# -eq 0 ] || fail "usage: stop"
    prepare_run
    take_lock
    read_run || exit 0
    [ "$run_uid" = "$caller" ] || fail "the helper that runs was started by another user"
    if run_alive; then
        # A stopped helper (or a stopped sudo above it) must run on to end.
        parent=$(parent_of "$run_pid")
        kill -CONT "$run_pid" 2>/dev/null
        case $parent in '' | 0 | 1 | *[!0-9]*) ;; *) kill -CONT "$parent" 2>/dev/null ;; esac
        kill -TERM "$run_pid" 2>/dev/null
        if ! gone_within 80; then
            kill -KILL "$run_pid" 2>/dev/null
            gone_within 30 || fail "pid $run_pid did not end"
        fi
    fi
    rm -f "$runfile"
}

# A dotted IPv4 address other than 0.x.x.x, without leading zeros (which route(8) reads as octal).
ipv4() {
    case $1 in *[!0-9.]* | .* | *. | *..*) return 1 ;; esac
    old_ifs=$IFS
    IFS=.
    # shellcheck disable=SC2086
    set -- $1
    IFS=$old_ifs
    [ $# -eq 4 ] || return 1
    [ "$1" != 0 ] || return 1
    for octet in "$@"; do
        case $octet in 0?*) return 1 ;; esac
        [ ${#octet} -le 3 ] && [ "$octet" -le 255 ] || return 1
    done
}

# An IP literal or a plain DNS name that route(8) can only read as one host: no option, no "default",
# no unspecified address, no number in another notation.
plain_host() {
    [ ${#1} -ge 1 ] && [ ${#1} -le 253 ] || return 1
    case $1 in
    -* | .* | *..* | *[!A-Za-z0-9.:-]*) return 1 ;;
    esac
    case $1 in
    *:*)
        case $1 in *[!0-9A-Fa-f:.]*) return 1 ;; esac
        case $1 in *[1-9A-Fa-f]*) return 0 ;; esac
        return 1
        ;;
    esac
    last=${1%.}
    last=${last##*.}
    case $last in
    [0-9]*) ipv4 "$1" ;;
    *)
        case $1 in
        *.-* | *-.* | *- | [Dd][Ee][Ff][Aa][Uu][Ll][Tt] | [Dd][Ee][Ff][Aa][Uu][Ll][Tt].) return 1 ;;
        esac
        ;;
    esac
}

# The routes and clean-up of a tunnel are its starter's: nobody else may undo them while it runs.
refuse_while_another_users_helper_runs() {
    if read_run && run_alive && [ "$run_uid" != "$caller" ]; then
        fail "another user's tunnel is up"
    fi
}

routes() {
    [ $# -le 1 ] || fail "usage: routes [HOST]"
    prepare_run
    take_lock
    refuse_while_another_users_helper_runs
    status=0
    if [ $# -eq 1 ]; then
        if plain_host "$1"; then
            /sbin/route delete "$1" >/dev/null 2>&1
        else
            printf 'nimbrel-control: not a plain host: %s\n' "$1" >&2
            status=2
        fi
    fi
    /sbin/route delete -net 0.0.0.0/1 >/dev/null 2>&1
    /sbin/route delete -net 128.0.0.0/1 >/dev/null 2>&1
    return $status
}

smart_cleanup() {
    [ $# -eq 0 ] || fail "usage: smart-cleanup"
    # Under the lock of start and stop, so that no start can make its files between the check of
    # whose tunnel is up and the clean-up.
    prepare_run
    take_lock
    refuse_while_another_users_helper_runs
    if [ -e "$script" ] || [ -L "$script" ]; then
        # Root's own file in the sticky /tmp: nobody else can replace it between this check and the run.
        [ -n "$(root_owned "$script" -links 1)" ] || fail "refusing $script: not a root-owned regular file"
        if made_for_last_start; then
            /bin/sh "$script" </dev/null >/dev/null 2>&1 9>&- # the script never holds the lock
        else
            printf 'nimbrel-control: %s was not made for a helper this program started: deleted unrun\n' \
                "$script" >&2
        fi
        rm -f "$script" "$gateway" "$made"
    else
        rm -f "$made" # its script is gone: no later file may pass for it
        [ -z "$(root_owned "$gateway")" ] || rm -f "$gateway"
    fi
}

check() {
    [ $# -eq 0 ] || fail "usage: check"
    [ -n "$(root_owned "$conf")" ] || fail "not installed: $conf"
    source=
    while IFS=' ' read -r key value; do
        [ "$key" != source ] || source=$value
    done <"$conf"
    printf 'version %s\nhelper %s\nsource %s\n' "$version" "$helper" "$source"
    [ -z "$(root_owned "$helper")" ] || printf 'sha256 %s\n' "$(sha256_of "$helper")"
    if read_run && [ "$run_uid" = "$caller" ] && run_alive; then
        printf 'running %s %s\n' "$run_pid" "$run_started"
    fi
}

[ $# -ge 1 ] || fail "usage: start MODE SERVER SNI | stop | routes [HOST] | smart-cleanup | check"
verb=$1
shift
case $verb in
start) start "$@" ;;
stop) stop "$@" ;;
routes) routes "$@" ;;
smart-cleanup) smart_cleanup "$@" ;;
check) check "$@" ;;
*) fail "unknown verb: $verb" ;;
esac

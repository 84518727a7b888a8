#!/bin/sh
# nimbrel-control: the one program the Nimbrel client may run as root without a password
# (sudo -n). It trusts nothing from its caller: every argument is checked, every path is fixed.
#   stop PID        SIGTERM to PID, only when PID runs the configured tunnel helper
#   routes [HOST]   delete the host route to HOST (an IP address or a plain DNS name only),
#                   then the two half-default routes
#   smart-cleanup   run /tmp/fw_smart_cleanup.sh when it is a root-owned regular file that
#                   nobody else may write, then delete it and /tmp/fw_smart_gw.txt
#   check           print the configured helper path, this program's version and whether the
#                   helper is a root-owned set-user-ID file
# The helper path is read from a root-owned configuration file written by the installation.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
LC_ALL=C
export LC_ALL
umask 022

version=1
os=$(uname -s)
case $os in
Darwin) conf=/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control.conf ;;
*) conf=/usr/local/etc/nimbrel/control.conf ;;
esac
script=/tmp/fw_smart_cleanup.sh
gateway=/tmp/fw_smart_gw.txt

fail() {
    printf 'nimbrel-control: %s\n' "$*" >&2
    exit 1
}

# Prints the path when it is a regular file (meeting any further find tests given) owned by root that group and others cannot
# write; find never follows a link, so a link prints nothing.
root_owned() {
    file=$1
    shift
    find "$file" -prune -type f -user 0 ! -perm -020 ! -perm -002 "$@" 2>/dev/null | head -n 1
}

read_helper() {
    [ -n "$(root_owned "$conf")" ] || fail "not installed: $conf"
    helper=
    IFS= read -r helper <"$conf" || [ -n "$helper" ] || fail "empty configuration"
    case $helper in
    /*) ;;
    *) fail "the configured helper path is not absolute" ;;
    esac
}

# The file a running process was started from: /proc on Linux ("PATH (deleted)" once the file was
# replaced), lsof's first text entry on macOS.
executable_of() {
    if [ "$os" = Darwin ]; then
        lsof -a -p "$1" -d txt -Fn 2>/dev/null | sed -n 's/^n//p' | head -n 1
    else
        readlink "/proc/$1/exe" 2>/dev/null
    fi
}

stop() {
    [ $# -eq 1 ] || fail "usage: stop PID"
    case $1 in
    '' | 0* | *[!0-9]*) fail "not a process id: $1" ;;
    esac
    [ ${#1} -le 10 ] || fail "not a process id: $1"
    read_helper
    exe=$(executable_of "$1")
    [ -n "$exe" ] || fail "no such process: $1"
    [ "$exe" = "$helper" ] || [ "$exe" = "$helper (deleted)" ] || fail "process $1 is not the helper"
    kill "$1"
}

# A dotted IPv4 address other than 0.x.x.x.
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

routes() {
    [ $# -le 1 ] || fail "usage: routes [HOST]"
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
    if [ -e "$script" ] || [ -L "$script" ]; then
        # Root's own file in the sticky /tmp: nobody else can replace it between this check and the run.
        [ -n "$(root_owned "$script" -links 1)" ] || fail "refusing $script: not a root-owned regular file"
        /bin/sh "$script" </dev/null >/dev/null 2>&1
        rm -f "$script"
        rm -f "$gateway"
    elif [ -n "$(root_owned "$gateway")" ]; then
        rm -f "$gateway"
    fi
}

check() {
    [ $# -eq 0 ] || fail "usage: check"
    read_helper
    printf 'helper %s\nversion %s\n' "$helper" "$version"
    if [ -n "$(root_owned "$helper" -perm -4000)" ]; then
        echo "state ready"
    else
        echo "state unmarked"
    fi
}

[ $# -ge 1 ] || fail "usage: stop PID | routes [HOST] | smart-cleanup | check"
verb=$1
shift
case $verb in
stop) stop "$@" ;;
routes) routes "$@" ;;
smart-cleanup) smart_cleanup "$@" ;;
check) check "$@" ;;
*) fail "unknown verb: $verb" ;;
esac

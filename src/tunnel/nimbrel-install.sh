# nimbrel-install: what the one administrator prompt runs as root. It copies the tunnel helper the user
# approved into a folder only root can change, as root's 0755 file, when the copy has the SHA-256 the
# client computed; records the source and the hash for the control program; installs the control
# program (unless a package ships it) and one sudoers rule, by user number, for that program alone; and
# takes the set-user-ID bit off a helper an older installation marked. Nothing is made set-user-ID.
# Usage: nimbrel-install SOURCE SHA256 UID SUDOERS CONTROL CONTROL_TEXT CONF COPY GROUP
umask 022
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
LC_ALL=C
export LC_ALL
[ $# -eq 9 ] || exit 2
source=$1 sha=$2 uid=$3 sudoers=$4 control=$5 text=$6 conf=$7 copy=$8 group=$9
case $uid in '' | *[!0-9]*) exit 2 ;; esac
case $sha in *[!0-9a-f]*) exit 2 ;; esac
[ ${#sha} -eq 64 ] || exit 2
# Every place is this system's own: an approved prompt installs these and nothing else, and the
# package's installation program, which polkit names with a fixed message, writes no program text.
case $(uname -s) in
Darwin)
    fixed_conf=/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control.conf
    fixed_copy=/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.helper/nimbrel-macos
    own_control=/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control
    packaged_control=
    ;;
*)
    fixed_conf=/usr/local/etc/nimbrel/control.conf
    fixed_copy=/usr/local/libexec/nimbrel/nimbrel-macos
    own_control=/usr/local/libexec/nimbrel/nimbrel-control
    packaged_control=/usr/lib/nimbrel/nimbrel-control
    ;;
esac
[ "$sudoers" = /etc/sudoers.d/nimbrel ] && [ "$conf" = "$fixed_conf" ] && [ "$copy" = "$fixed_copy" ] || exit 2
case $group in root | wheel) ;; *) exit 2 ;; esac
if [ "$control" = "$own_control" ] && [ -n "$text" ] && [ "$0" != /usr/lib/nimbrel/nimbrel-install ]; then
    :
elif [ -n "$packaged_control" ] && [ "$control" = "$packaged_control" ] && [ -z "$text" ]; then
    :
else
    exit 2
fi

sha256_of() {
    if [ "$(uname -s)" = Darwin ]; then
        shasum -a 256 "$1" 2>/dev/null | cut -d' ' -f1
    else
        sha256sum "$1" 2>/dev/null | cut -d' ' -f1
    fi
}

root_folder() {
    mkdir -p "$1" && chown root "$1" && chmod 755 "$1"
}

# The copy: whatever the path names at this moment is copied as it is, never through a link, into a
# staging folder only root can enter; only a regular file with the approved hash goes on.
copy_dir=${copy%/*}
root_folder "$copy_dir" || exit 1
stage=$(mktemp -d "$copy_dir/.install.XXXXXX") || exit 1
trap 'rm -rf "$stage"' EXIT
cp -RP "$source" "$stage/helper" 2>/dev/null || exit 1
if [ -z "$(find "$stage/helper" -prune -type f -links 1)" ]; then
    printf 'nimbrel: %s is not a regular file\n' "$source" >&2
    exit 1
fi
if [ "$(sha256_of "$stage/helper")" != "$sha" ]; then
    printf 'nimbrel: %s is not the file that was approved\n' "$source" >&2
    exit 1
fi
chown "root:$group" "$stage/helper" && chmod 755 "$stage/helper" && mv -f "$stage/helper" "$copy" || exit 1

if [ -n "$text" ]; then
    root_folder "${control%/*}" || exit 1
    printf '%s' "$text" >"$control.new" && chmod 755 "$control.new" && mv -f "$control.new" "$control" || exit 1
fi

# An older installation named its set-user-ID helper alone on the first line: that helper loses the
# bit, and a clean-up script it may have left, which anybody could have written into, is deleted unrun.
root_folder "${conf%/*}" || exit 1
if [ -n "$(find "$conf" -prune -type f -user 0 2>/dev/null)" ]; then
    previous=
    IFS= read -r previous <"$conf"
    case $previous in
    /*)
        unmark_helper "$previous"
        rm -f /tmp/fw_smart_cleanup.sh /tmp/fw_smart_gw.txt
        ;;
    esac
fi
printf 'source %s\nsha256 %s\n' "$source" "$sha" >"$conf.new" && chmod 644 "$conf.new" && mv -f "$conf.new" "$conf" ||
    exit 1

printf '#%s ALL=(root) NOPASSWD: %s\n' "$uid" "$control" >"$sudoers.new" && chmod 440 "$sudoers.new" &&
    visudo -cf "$sudoers.new" >/dev/null && mv -f "$sudoers.new" "$sudoers" || {
    rm -f "$sudoers.new"
    exit 1
}

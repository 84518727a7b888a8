# Takes the set-user-ID bit off a helper that an older installation made root's and set-user-ID, and
# gives the file back to the owner of its folder, without following a link or a folder swapped in
# meanwhile: a root-only folder made inside the helper's folder holds a hard link to the recorded path,
# and only a root-owned set-user-ID regular file with no other name is changed, through that link.
# Usage: unmark_helper PATH
unmark_helper() {
    old=$1
    case $old in /*/*) ;; *) return 0 ;; esac
    if [ ! -e "$old" ]; then
        printf 'nimbrel: %s is gone; a set-user-ID copy of it renamed elsewhere cannot be found\n' "$old" >&2
        return 0
    fi
    here=$(mktemp -d "${old%/*}/.nimbrel-unmark.XXXXXX" 2>/dev/null) || return 0
    (
        cd -P "$here" || exit 1
        [ -n "$(find . -prune -type d -user 0 ! -perm -020 ! -perm -002)" ] || exit 1
        ln -P "$old" helper 2>/dev/null || exit 1
        if [ -n "$(find helper -prune -type f -user 0 -perm -4000 -links 2)" ]; then
            owner=$(ls -nd .. | awk '{ print $3 }')
            chmod u-s,g-s helper && chown -h "$owner" helper
        fi
        rm -f helper
    ) || true
    rmdir "$here" 2>/dev/null || true
    return 0
}

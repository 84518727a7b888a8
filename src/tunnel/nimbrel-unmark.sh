# Takes the set-user-ID bit off a helper that an older installation made root's and set-user-ID, without
# following a link or a folder swapped in meanwhile: from inside the helper's folder (entered once, by
# what it is), a folder of root's own is made there and checked to be that one, it takes a hard link to
# the recorded name, and only a root-owned set-user-ID regular file with no other name is changed,
# through that link. The file stays root's (0755); the owner of its folder may delete or replace it.
# Usage: unmark_helper PATH
unmark_helper() {
    old=$1
    case $old in /*/*) ;; *) return 0 ;; esac
    name=${old##*/}
    (
        cd -P "${old%/*}" 2>/dev/null || exit 0
        if [ ! -e "$name" ]; then
            printf 'nimbrel: %s is gone; a set-user-ID copy of it renamed elsewhere cannot be found\n' "$old" >&2
            exit 0
        fi
        folder=$(ls -di . | awk '{ print $1 }')
        here=$(mktemp -d ./.nimbrel-unmark.XXXXXX) || exit 0
        (
            cd -P "$here" || exit 0
            # Still the empty folder made just now, inside the helper's folder: no link was swapped in.
            [ "$(ls -di .. | awk '{ print $1 }')" = "$folder" ] || exit 0
            [ -n "$(find . -prune -type d -user 0 -links 2 ! -perm -020 ! -perm -002)" ] || exit 0
            ln -P "../$name" helper 2>/dev/null || exit 0
            if [ -n "$(find helper -prune -type f -user 0 -perm -4000 -links 2)" ]; then
                chmod u-s,g-s helper
            fi
            rm -f helper
        ) || true
        rmdir "$here" 2>/dev/null || true
    ) || true
    return 0
}

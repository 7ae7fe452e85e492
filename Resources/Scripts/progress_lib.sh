# Shared by the installation scripts: checks and progress reports.
# Sourced, never run; every function quotes what it is given.

# Folder of the product's machine-wide files; RAVELUNE_ROOT moves it (tests use a scratch folder).
ravelune_root() {
    printf '%s/Library/Ravelune' "${RAVELUNE_ROOT:-}"
}

fail() {
    printf '%s\n' "$*" >&2
    exit 1
}

# Runs a command with the rights of the given user alone when the script runs as root, and as it
# is otherwise. What a batch script does in the user's folders goes through this: a link planted
# there then leads nowhere the user could not write (or read) anyway.
as_user() {
    local user="$1" uid="" gid=""
    shift
    if [ "$(id -u)" != 0 ]; then
        "$@"
        return
    fi
    uid="$(id -u -- "$user")" && gid="$(id -g -- "$user")" || return 1
    # Root installing for root has no rights to drop (and in a user namespace may not change
    # its groups).
    if [ "$uid" = 0 ]; then
        "$@"
        return
    fi
    setpriv --reuid="$uid" --regid="$gid" --clear-groups -- "$@"
}

# Reports "<index>:<percent>" into the progress file, as the user, in one write: one digit, a
# colon and three characters of percentage. Indexes above 9 cannot be told apart by the reader:
# they stay silent. Never through a link, nor into a FIFO (that would hold the batch).
report_progress() {
    local index="$1" percent="$2" file="$3" user="$4"
    case "$index" in
        [0-9]) ;;
        *) return 0 ;;
    esac
    [ -n "$file" ] || return 0
    printf '%s:%3d\n' "$index" "$percent" |
        as_user "$user" dd of="$file" oflag=append,nofollow,nonblock conv=notrunc status=none 2>/dev/null || true
}

require_argument() {
    [ -n "$2" ] || fail "missing argument: $1"
}

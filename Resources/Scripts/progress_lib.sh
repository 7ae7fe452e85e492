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

# Reports "<index>:<percent>" into the progress file in one write: one digit, a colon and three
# characters of percentage. Indexes above 9 cannot be told apart by the reader: they stay silent.
report_progress() {
    local index="$1" percent="$2" file="$3"
    case "$index" in
        [0-9]) ;;
        *) return 0 ;;
    esac
    [ -n "$file" ] || return 0
    # Batch scripts run as administrator: never append through a planted link.
    [ ! -L "$file" ] || return 0
    printf '%s:%3d\n' "$index" "$percent" >>"$file" 2>/dev/null || true
}

require_argument() {
    [ -n "$2" ] || fail "missing argument: $1"
}

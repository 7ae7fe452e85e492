#!/bin/bash
# Copies a template application to its place and hands it to the user.
# Arguments: source application folder, target application path, user name, version,
# progress file, batch index.
set -u
. "$(cd "$(dirname "$0")" && pwd)/progress_lib.sh"

source_folder="${1:-}"
target="${2:-}"
user="${3:-}"
version="${4:-}"
progress="${5:-}"
index="${6:-}"
require_argument "source application" "$source_folder"
require_argument "target application" "$target"
require_argument "user name" "$user"
require_argument "version" "$version"
require_argument "progress file" "$progress"
require_argument "batch index" "$index"

[ -d "$source_folder" ] || fail "no application at $source_folder"
case "$target" in
    */Applications/Ravelune/*.app) ;;
    *) fail "refusing target outside Applications/Ravelune: $target" ;;
esac
case "/$target/" in
    */../*|*/./*) fail "refusing a target with . or .. components: $target" ;;
esac
name="${target##*/}"
[ "$name" != ".app" ] || fail "the application has no name: $target"

report_progress "$index" 0 "$progress" "$user"
parent="${target%/*}"
# The target lies in the user's home: all of it is done as the user, so a link planted on the way
# leads nowhere else and the copy is the user's own.
as_user "$user" mkdir -p "$parent" || fail "cannot create $parent"
as_user "$user" rm -rf -- "$target"
as_user "$user" cp -R "$source_folder" "$target" || fail "cannot copy $source_folder to $target"
as_user "$user" chmod -R u+rwX "$target"
report_progress "$index" 100 "$progress" "$user"
exit 0

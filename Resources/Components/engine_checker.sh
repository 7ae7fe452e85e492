#!/bin/bash
# Tells whether the Ravelune engine of this installer's version is installed.
set -u
. "$(cd "$(dirname "$0")" && pwd)/../Scripts/progress_lib.sh"

expected_version="1.0.0"
root="$(ravelune_root)"
installed="$(cat "$root/version.txt" 2>/dev/null || true)"
if [ "$installed" = "$expected_version" ] && [ -x "$root/zorerurovido/Zozivurorido.app/Contents/MacOS/Zozivurorido" ] \
    && [ -f "$root/install_user.sh" ]; then
    echo "Version is up to date"
else
    echo "Not installed (found '${installed}', need '${expected_version}')"
fi
exit 0

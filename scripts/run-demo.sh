#!/usr/bin/env bash
# Installs what is missing, builds the installer and runs it on its demo bundle end to end, in a
# throw-away copy of this machine (scripts/sandbox.sh): the demo component and the remote
# document are served by a loopback server that also records what the statistics and log hosts
# receive. Nothing on this machine changes; with a desktop display the real window shows.
# Prints a summary at the end; what the run left behind stays in build/demo-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Installer demo_server

cache_value() { sed -n "s/^$1:[A-Z]*=//p" build/CMakeCache.txt; }
download_host=$(sed -n 's|.*"jsonUrl": *"https\{0,1\}://\([^/"]*\).*|\1|p' Resources/Configs/Configs.json)
statistics_host=$(cache_value RAVELUNE_STATS_SERVER)
log_host=$(cache_value RAVELUNE_LOG_SERVER)

keep="$PWD/build/demo-run"
rm -rf "$keep"
mkdir -p "$keep/served/installer"
cp demo/server/installer/installer.json "$keep/served/installer/"
(cd demo/engine && zip -q -r "$keep/served/installer/RaveluneEngine.zip" .)

echo "Running the installer in a sandbox (download host $download_host, statistics $statistics_host, log $log_host)..."
scripts/sandbox.sh "$keep" "$download_host $statistics_host $log_host" \
    "$PWD/scripts/sandboxed-install.sh" "$keep" "$PWD/build/Installer.app/Contents/MacOS/Installer" \
    "$PWD/build/tests/e2e/demo_server" "$keep/served"

support="$keep/home/Library/Application Support/Ravelune"
requests="$keep/record/requests"
echo
echo "Summary"
echo "  exit status:            $(cat "$keep/status")"
echo "  product files:          /Library/Ravelune/: $(ls "$keep/Library/Ravelune" 2>/dev/null | tr '\n' ' ')"
echo "  applications:           ~/Applications/Ravelune/: $(ls "$keep/home/Applications/Ravelune" 2>/dev/null | tr '\n' ',' | sed 's/,$//;s/,/, /g')"
echo "  game description:       $(cd "$support" 2>/dev/null && ls ./*.json 2>/dev/null | sed 's|^\./||' | tr '\n' ' ')"
echo "  statistics events:      $(awk -v h="$statistics_host" '$1 == h && $2 == "POST" { n++ } END { print n + 0 }' "$requests") to $statistics_host," \
     "$(awk -v h="$log_host" '$1 == h && $2 == "POST" && $3 ~ /,(status|activity|sysinfo)$/ { n += $4 } END { print n + 0 }' "$requests") to the log service"
echo "  log lines received:     $(awk -v h="$log_host" '$1 == h && $2 == "POST" && $3 ~ /\/tag\/ravelune$/ { n += $4 } END { print n + 0 }' "$requests")"
echo "  installer.log:          $keep/home/Library/Application Support/Ravelune/logs/installer.log"

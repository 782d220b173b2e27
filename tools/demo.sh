#!/usr/bin/env bash
# make demo: lays out a demo installation, runs the launcher under Wine the
# way a shortcut would, and prints its bootstrap.log as a timeline.
set -euo pipefail
build=${1:-build/windows}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$root/$build" && pwd)
bin=$build/bin
run="$build/wine-run"
demo=$root/build/demo
install=$demo/install

rm -rf "$demo"
mkdir -p "$install/resources"
cp "$bin/VYN_Launcher.exe" "$install/"
if [ -f "$bin/VYN.exe" ]; then
  cp "$bin/VYN.exe" "$install/"
  # A normal start: some error output, READY after about a second, and the
  # application staying a few seconds after the launcher has gone.
  cat >"$install/standin.json" <<'JSON'
{
  "steps": [
    {"stderr": ["[main] VYN starting", "[main] loading window", "{", "  \"renderer\": \"ready\"", "}"]},
    {"pipe": "READY", "delayMs": 1000}
  ],
  "aliveMs": 3000
}
JSON
fi
head -c 4194304 /dev/urandom >"$install/resources/app.asar"
if [ -f "$bin/vyn-seal.exe" ]; then
  "$run" "$bin/vyn-seal.exe" seal --version 3.0.0 \
    --archive "$("$run" winepath -w "$install/resources/app.asar" 2>/dev/null)" \
    --output "$("$run" winepath -w "$install/resources/app_verify.config" 2>/dev/null)" >/dev/null
fi

install_win=$("$run" winepath -w "$install" 2>/dev/null)
"$run" reg add 'HKCU\Software\VYN\InstallTracking' /v installId /d demo-install-0001 /f >/dev/null 2>&1
"$run" reg add 'HKCU\Software\VYN\InstallTracking' /v installDir /d "$install_win" /f >/dev/null 2>&1

appdata_win=$("$run" cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')
log=$("$run" winepath -u "$appdata_win\\VYN\\logs\\bootstrap.log" 2>/dev/null)
rm -f "$log"

echo "Demo installation: $install"
echo "Running VYN_Launcher.exe --dev-mode --demo-flag ..."
set +e
"$run" "$install/VYN_Launcher.exe" --dev-mode --demo-flag
code=$?
set -e
echo "Launcher exit code: $code"
echo "Log: $log"
echo
"$run" "$bin/vyn-logview.exe" "$("$run" winepath -w "$log" 2>/dev/null)"

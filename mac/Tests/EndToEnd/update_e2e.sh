#!/usr/bin/env bash
# update_e2e.sh <source dir> <build dir>: a whole update, nothing faked in the
# agent. Signed releases served over HTTPS (test CA) as tavrelin.app inside
# private namespaces; 77 (skipped) when it cannot make them (not root).
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

if [ -z "${TAVRELIN_UPDATE_E2E_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --mount --net --pid --fork true 2>/dev/null; then
    echo "skipped: needs root to make mount, network and process namespaces"
    exit 77
  fi
  # The kernel ends what is left in the namespace with this script.
  exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private \
    env TAVRELIN_UPDATE_E2E_INSIDE=1 bash "$0" "$@"
fi

work=$(mktemp -d /tmp/tavrelin-update-e2e.XXXXXX)
# We are the namespace's first process: whatever still runs in it on the way
# out (an agent the test left) is ended before its folder goes.
trap 'kill -KILL -1 2>/dev/null; for _ in 1 2 3 4 5; do rm -rf "$work" 2>/dev/null && break; sleep 0.2; done' EXIT
fail() { echo "FAIL: $*"; cat "$work/agent.out" 2>/dev/null; exit 1; }
retry() { for _ in $(seq 600); do "$@" 2>/dev/null && return 0 || sleep 0.1; done; return 1; }
await() { retry grep -qF -- "$1" agent.out || fail "no “$1” from the agent"; }
# The product's name as this build's words say it, before the version.
name=Tavrelin
[ "$(sed -n 's/^TAVRELIN_WORDS:[A-Z]*=//p' "$build/CMakeCache.txt")" != mac ] || name="Tavrelin for Mac"
version() { [ "$("$agent" --version 2>/dev/null)" = "$name $1" ]; }

ip link set lo up
cd "$work"
# A certificate for tavrelin.app that is the whole CA bundle inside.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=tavrelin.app" \
  -addext subjectAltName=DNS:tavrelin.app -keyout server.key -out server.crt 2>/dev/null
printf '127.0.0.1 tavrelin.app\n::1 tavrelin.app\n' >hosts
mount --bind hosts /etc/hosts
mount --bind server.crt /etc/ssl/certs/ca-certificates.crt
# 1.0.0 is installed, 2.0.0 is served
minisign -G -W -p release.pub -s release.key >/dev/null
release() { "$src/scripts/release" --from "$build" --key release.key --public-key release.pub "$@" >/dev/null; }
release --version 1.0.0 --build 1 --out old
release --version 2.0.0 --build 2 --out new --notes "Second release."
mkdir -p www/downloads tampered

export HOME=$work/home TMPDIR=$work/tmp TAVRELIN_REMINDERS_DIR=$work/lists
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME/Applications" "$HOME/.config/Tavrelin" "$TMPDIR" "$TAVRELIN_REMINDERS_DIR"
printf '[General]\ncom.tavrelin.mac.hasShownWelcome=true\n' >"$HOME/.config/Tavrelin/Tavrelin.ini"
bsdtar -x -p -f old/Tavrelin-1.0.0.zip -C "$HOME/Applications"
app=$HOME/Applications/Tavrelin.app
agent=$app/Contents/MacOS/tavrelin-agent
staging=$HOME/.cache/Tavrelin/updates
incoming=$HOME/Applications/.Tavrelin.app.incoming
(cd www && exec openssl s_server -quiet -accept 443 -cert ../server.crt -key ../server.key -WWW) >server.log 2>&1 &
retry curl -s --cacert server.crt -o /dev/null https://tavrelin.app/ || fail "the server did not start"

# A tampered 2.0.0: one file changed, re-zipped, its digest announced
# correctly, so only the signature check can catch it.
bsdtar -x -p -f new/Tavrelin-2.0.0.zip -C tampered
printf '\n' >>tampered/Tavrelin.app/Contents/Info.plist
(cd tampered && bsdtar --format zip -cf ../www/downloads/Tavrelin-2.0.0.zip Tavrelin.app)
sed "s/\"sha256\": \"[0-9a-f]*\"/\"sha256\": \"$(sha256sum www/downloads/Tavrelin-2.0.0.zip | cut -d' ' -f1)\"/" \
  new/linux-version.json >www/downloads/linux-version.json
mkfifo agent.in
"$agent" --headless <agent.in >agent.out 2>&1 &
exec 3>agent.in
await "started"
echo "Check for Updates…" >&3
await "Couldn’t check for updates"
echo "OK" >&3
version 1.0.0 || fail "tampered: the bundle was replaced"
[ ! -e "$staging" ] && [ ! -e "$app.previous" ] && [ ! -e "$incoming" ] ||
  fail "tampered: the staging folder, a previous or an incoming copy was left"

cp new/Tavrelin-2.0.0.zip new/linux-version.json www/downloads/
old_pid=$(pgrep -f -x "$agent --headless" | head -1)
echo "Check for Updates…" >&3
await "Tavrelin 2.0.0 is ready"
# Answered after the install script has swapped and tried to reopen:
# quitting must still end with the new build running.
sleep 3
echo "Restart now" >&3
swapped() { [ ! -e "/proc/$old_pid" ] && [ ! -e "$staging" ] && [ ! -e "$app.previous" ] && [ ! -e "$incoming" ] && version 2.0.0; }
retry swapped || fail "the old agent did not quit, the new build is not in place, or the old one, the incoming one or the staging folder was left"
# The install script started the new build from the same path.
relaunched() { [ "$(readlink "/proc/$(pgrep -f -x "$agent" | head -1)/exe")" = "$agent" ]; }
retry relaunched || fail "the new build was not started from the same path"
await "$name 2.0.0 started"
"$agent" --quit >/dev/null || fail "the new build did not quit when asked"
gone() { ! pgrep -f -x "$agent" >/dev/null; }
retry gone || fail "the new build still runs after quitting"

# "Restart now" answered at once, round after round: the agent that runs
# afterwards is the new build from the installed path (not the old one from a
# renamed or deleted folder), it is the only one, and both desktop entries
# start the installed path.
agents() {
  for exe in /proc/[0-9]*/exe; do
    [[ "$(readlink "$exe" 2>/dev/null)" == *tavrelin-agent* ]] && echo "${exe%/exe}"
  done
  return 0
}
entries="$HOME/.config/autostart/tavrelin-agent.desktop $HOME/.local/share/applications/tavrelin-agent.desktop"
for round in $(seq 10); do
  rm -rf "$app"
  bsdtar -x -p -f old/Tavrelin-1.0.0.zip -C "$HOME/Applications"
  rm -f agent.in
  mkfifo agent.in
  "$agent" --headless <agent.in >agent.out 2>&1 &
  old_pid=$!
  exec 3>agent.in
  await "started"
  echo "Check for Updates…" >&3
  await "Tavrelin 2.0.0 is ready"
  echo "Restart now" >&3
  exec 3>&-
  updated() {
    local running
    running=$(agents)
    [ ! -e "/proc/$old_pid" ] && [ "$(wc -l <<<"$running")" -eq 1 ] && [ -n "$running" ] &&
      [ "$(readlink "$running/exe")" = "$agent" ] && version 2.0.0 &&
      for entry in $entries; do grep -qxF "TryExec=$agent" "$entry" || return 1; done
  }
  retry updated || fail "round $round: the agents running are $(for p in $(agents); do readlink "$p/exe"; done | tr '\n' ' ')" \
    "and the entries start $(grep -h TryExec $entries | tr '\n' ' ')"
  await "$name 2.0.0 started"
  ! grep -qF "another instance is already running" agent.out || fail "round $round: a start of the new build gave way"
  "$agent" --quit >/dev/null || fail "round $round: the new build did not quit when asked"
  retry gone || fail "round $round: the new build still runs after quitting"
done

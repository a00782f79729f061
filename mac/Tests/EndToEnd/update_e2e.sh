#!/usr/bin/env bash
# A whole update with nothing faked inside the agent. Releases are built and
# signed by scripts/release and served over HTTPS by a local server with a
# certificate from a test CA; the agent reaches it as tavrelin.app inside a
# private mount, network and process namespace whose hosts file and CA bundle
# are this test's. The agent runs from ~/Applications in a temporary home.
#
#   update_e2e.sh <source dir> <build dir>
#
# Exits 77 (skipped) when it cannot make namespaces (not root).
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

if [ -z "${TAVRELIN_UPDATE_E2E_INSIDE:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --mount --net --pid --fork true 2>/dev/null; then
    echo "skipped: needs root to make mount, network and process namespaces"
    exit 77
  fi
  # When this script, the namespace's first process, ends, the kernel ends
  # every process left in it: agents, the server, the install script.
  exec unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private \
    env TAVRELIN_UPDATE_E2E_INSIDE=1 bash "$0" "$@"
fi

work=$(mktemp -d /tmp/tavrelin-update-e2e.XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- agent output"; cat "$work/agent.out" 2>/dev/null || true; exit 1; }

ip link set lo up

# ---- a test CA, and a certificate for tavrelin.app signed by it
cd "$work"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj "/CN=Tavrelin test CA" \
  -keyout ca.key -out ca.crt 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=tavrelin.app" \
  -keyout server.key -out server.csr 2>/dev/null
printf 'subjectAltName=DNS:tavrelin.app\n' >san.ext
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext \
  -out server.crt 2>/dev/null
printf '127.0.0.1 tavrelin.app\n::1 tavrelin.app\n' >hosts
mount --bind hosts /etc/hosts
mount --bind ca.crt /etc/ssl/certs/ca-certificates.crt

# ---- releases: 1.0.0 is installed, 2.0.0 is served
minisign -G -W -p release.pub -s release.key >/dev/null
release() { "$src/scripts/release" --from "$build" --key release.key --public-key release.pub "$@" >/dev/null; }
release --version 1.0.0 --build 1 --out old
release --version 2.0.0 --build 2 --out new --notes "Second release."
mkdir -p www/downloads

export HOME=$work/home TMPDIR=$work/tmp TAVRELIN_REMINDERS_DIR=$work/lists
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME/Applications" "$HOME/.config/Tavrelin" "$TMPDIR" "$TAVRELIN_REMINDERS_DIR"
printf '[General]\ncom.tavrelin.mac.hasShownWelcome=true\n' >"$HOME/.config/Tavrelin/Tavrelin.ini"
bsdtar -x -p -f old/Tavrelin-1.0.0.zip -C "$HOME/Applications"
app=$HOME/Applications/Tavrelin.app
agent=$app/Contents/MacOS/tavrelin-agent
[ "$("$agent" --version)" = "Tavrelin for Mac 1.0.0" ] || fail "the installed release does not start"

(cd www && exec openssl s_server -quiet -accept 443 -cert ../server.crt -key ../server.key -WWW) >server.log 2>&1 &
for _ in $(seq 100); do
  curl -s --cacert ca.crt -o /dev/null https://tavrelin.app/ 2>/dev/null && break
  sleep 0.1
done

# A tampered copy of 2.0.0: one file changed inside, the archive re-zipped and
# its digest announced correctly, so only the signature check can catch it.
mkdir tampered
bsdtar -x -p -f new/Tavrelin-2.0.0.zip -C tampered
printf '\n' >>tampered/Tavrelin.app/Contents/Info.plist
(cd tampered && bsdtar --format zip -cf ../www/downloads/Tavrelin-2.0.0.zip Tavrelin.app)
sed "s/\"sha256\": \"[0-9a-f]*\"/\"sha256\": \"$(sha256sum www/downloads/Tavrelin-2.0.0.zip | cut -d' ' -f1)\"/" \
  new/linux-version.json >www/downloads/linux-version.json

# ---- the agent, headless, driven through its standard input
mkfifo agent.in
"$agent" --headless <agent.in >agent.out 2>&1 &
exec 3>agent.in
# Waits until the agent's output holds the text, at most 60 s.
await() {
  for _ in $(seq 600); do
    grep -qF -- "$1" agent.out && return 0
    sleep 0.1
  done
  fail "no “$1” from the agent"
}
await "started"
echo "Check for Updates…" >&3
await "Couldn’t check for updates"
grep -qF "The downloaded app is not signed by Tavrelin, so it was discarded." agent.out || fail "tampered: wrong reason"
grep -qF "a sealed resource is missing or invalid" agent.out || fail "tampered: no verifier text"
grep -qF "file modified: " agent.out || fail "tampered: the changed file is not named"
echo "OK" >&3
[ "$("$agent" --version)" = "Tavrelin for Mac 1.0.0" ] || fail "tampered: the running agent was changed"
cmp -s "$app/Contents/Info.plist" tampered/Tavrelin.app/Contents/Info.plist && fail "tampered: the bundle was replaced"
[ ! -e "$HOME/.cache/Tavrelin/updates" ] || fail "tampered: the staging folder was left"
[ ! -e "$app.previous" ] || fail "tampered: a previous copy was left"
echo "tampered archive refused; running agent untouched"

# ---- the real 2.0.0
cp new/Tavrelin-2.0.0.zip new/linux-version.json www/downloads/
old_pid=$(pgrep -f -x "$agent --headless" | head -1)
echo "Check for Updates…" >&3
await "Tavrelin 2.0.0 is ready"
grep -qF "Second release." agent.out || fail "the release notes are not shown"
# Answered after the install script has already swapped and tried to reopen:
# quitting must still end with the new build running.
sleep 3
echo "Restart now" >&3
for _ in $(seq 300); do
  [ ! -e "/proc/$old_pid" ] && [ -z "$(ls -A "$HOME/.cache/Tavrelin/updates" 2>/dev/null)" ] &&
    [ "$("$agent" --version 2>/dev/null)" = "Tavrelin for Mac 2.0.0" ] && break
  sleep 0.1
done
[ ! -e "/proc/$old_pid" ] || fail "the old agent did not quit"
[ "$("$agent" --version)" = "Tavrelin for Mac 2.0.0" ] || fail "the new build is not in place"
[ ! -e "$app.previous" ] || fail "the old build was left at $app.previous"
[ ! -e "$HOME/.cache/Tavrelin/updates" ] || fail "the staging folder was left"
# The install script started the new build from the same path.
for _ in $(seq 300); do
  new_pid=$(pgrep -f -x "$agent" || true)
  [ -n "$new_pid" ] && break
  sleep 0.1
done
[ -n "$new_pid" ] || fail "the new build was not started"
[ "$(readlink "/proc/$new_pid/exe")" = "$agent" ] || fail "the started agent runs from elsewhere"
await "Tavrelin for Mac 2.0.0 started"
echo "updated from 1.0.0 to 2.0.0 in place; the new build runs"

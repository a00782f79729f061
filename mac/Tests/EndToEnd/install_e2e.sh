#!/usr/bin/env bash
# install_e2e.sh <source dir> <build dir>: scripts/install and --uninstall of
# this build's bundle in a throwaway home, as a new user would have it, and the
# installed agent reached through the PATH, logging where --help says.
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)

work=$(mktemp -d /tmp/tavrelin-install-e2e.XXXXXX)
agent_pid=
cleanup() {
  [ -z "$agent_pid" ] || kill -KILL "$agent_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
check() { "$@" || fail "$*"; }

# Nothing but a home, and a runtime folder of its own so that no other
# agent of this user is asked to quit.
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
as_user() { env -i HOME="$work/home" XDG_RUNTIME_DIR="$work/run" PATH="$work/home/.local/bin:/usr/bin:/bin" LANG=C.UTF-8 \
  ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} ${TSAN_OPTIONS:+TSAN_OPTIONS=$TSAN_OPTIONS} \
  ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS} ${LSAN_OPTIONS:+LSAN_OPTIONS=$LSAN_OPTIONS} "$@"; }

as_user "$src/scripts/install" --no-start --from "$build" >"$work/install.out" 2>&1 ||
  { cat "$work/install.out"; fail "scripts/install --no-start"; }
home=$work/home
bundle=$home/Applications/Tavrelin.app
built=$(sed -n 's/^agent=//p' "$build/bundle-layout")
agent=$bundle${built#"$(sed -n 's/^bundle=//p' "$build/bundle-layout")"}
check test -x "$agent"
# On the PATH, as the README and the no-tray notice promise.
check test "$(readlink "$home/.local/bin/tavrelin-agent")" = "$agent"
check test "$(as_user tavrelin-agent --version)" = "$("$built" --version)"
grep -qF "==> installed $("$built" --version)" "$work/install.out" || fail "the install does not say what it installed"
check grep -qx "Exec=$agent" "$home/.config/autostart/tavrelin-agent.desktop"
check grep -qx "Exec=$agent %u" "$home/.local/share/applications/tavrelin-agent.desktop"
log=$home/.cache/Tavrelin/agent.log
as_user tavrelin-agent --help | grep -qF "$log" || fail "--help does not name $log"

# Started as a login would start it (no terminal, no display), it logs there.
as_user setsid tavrelin-agent </dev/null >/dev/null 2>&1 &
agent_pid=$!
for _ in $(seq 600); do as_user tavrelin-agent --status >/dev/null 2>&1 && break; sleep 0.1; done
check as_user tavrelin-agent --status >/dev/null
check grep -q " info $("$built" --version) started$" "$log"
check test "$(stat -c %a "$log")" = 600
check as_user tavrelin-agent --quit
for _ in $(seq 600); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$agent_pid" 2>/dev/null && fail "the agent did not quit"
agent_pid=

as_user "$src/scripts/install" --uninstall --from "$build" >"$work/uninstall.out" 2>&1 ||
  { cat "$work/uninstall.out"; fail "scripts/install --uninstall"; }
left=$(cd "$home" && find . ! -type d | sort)
[ "$left" = ./.config/Tavrelin/Tavrelin.ini ] || fail "left after --uninstall: $left"
echo "passed: installed, reached on the PATH, logged to $log, uninstalled"

#!/usr/bin/env bash
# Builds the Debian package into build/ (or $BUILD_DIR), checks it with
# lintian, installs it with apt-get, runs the installed programs, manual page
# and bash completion, checks the quality page's service (its unit and
# conffile, disabled, verified by systemd-analyze where there is one), purges
# it again and checks that none of its files is left behind.  Needs root: it installs and removes a system package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
export DEBIAN_FRONTEND=noninteractive

fail() { echo "package-check: $*" >&2; exit 1; }

# Build tools (dpkg-dev and file for dpkg-shlibdeps) come with deps.sh; the
# checks below need lintian, man and bash-completion's loader as well.
"$root/scripts/deps.sh"
missing=()
for p in lintian man-db bash-completion; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# An existing build directory keeps its cache (tests, build type); a new one
# gets the package's programs only.
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" >/dev/null
else
  cmake -S "$root" -B "$build" -DTRN_BUILD_TESTS=OFF -DTRN_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 --target package
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$build/trndemo_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no package $deb"
echo "--- $(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Depends

echo "--- lintian"
lintian --fail-on error "$deb" || fail "lintian reports errors"

# Start from a machine without the package, and leave it without it whatever
# happens below.
purge() {
  if dpkg-query -W -f='${Status}' trndemo 2>/dev/null | grep -q 'ok installed'; then
    apt-get purge -y -qq trndemo >/dev/null
  fi
}
sim_pid=""
tmp="$(mktemp -d)"
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
  purge
}
trap cleanup EXIT
purge

echo "--- apt-get install"
apt-get install -y -qq "$deb" >/dev/null
# Every file of the package, as dpkg knows it, without the directories.
dpkg -L trndemo | while read -r f; do [ -d "$f" ] || echo "$f"; done > "$tmp/files"
while read -r f; do
  [ -e "$f" ] || fail "installed package lacks $f"
done < "$tmp/files"
cat "$tmp/files"

echo "--- the installed programs"
out="$(/usr/bin/trnctl --version)" || fail "trnctl --version failed"
[ "$out" = "trnctl $version" ] || fail "trnctl --version printed '$out'"
/usr/bin/trnsim --no-stdin --quiet > "$tmp/sim.out" &
sim_pid=$!
pty=""
for _ in $(seq 100); do
  pty="$(head -n 1 "$tmp/sim.out")"
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -c "$pty" ] || fail "trnsim printed no pseudo-terminal ('$pty')"
status=0
/usr/bin/trnctl -d "$pty" info > "$tmp/info" || status=$?
cat "$tmp/info"
[ "$status" -eq 0 ] || fail "trnctl -d $pty info exited $status"
grep -qx 'model=Q742' "$tmp/info" || fail "trnctl info printed no model=Q742"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""

echo "--- the quality page's service"
unit=/lib/systemd/system/trnctl-records.service
conf=/etc/default/trnctl-records
[ -f "$unit" ] || fail "no $unit"
[ -f "$conf" ] || fail "no $conf"
grep -qx 'DynamicUser=yes' "$unit" || fail "$unit: no DynamicUser=yes"
dpkg-query --control-show trndemo conffiles | grep -qx "$conf" || fail "$conf is not a conffile"
if command -v systemctl >/dev/null; then
  state="$(systemctl is-enabled trnctl-records.service 2>/dev/null || true)"
  [ "$state" = disabled ] || fail "trnctl-records.service is '$state', not disabled"
fi
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
  echo "systemd-analyze verify: $unit"
fi

echo "--- manual pages"
for page in trndemo trnsim trnctl; do
  paths="$(man -aw "$page" 2>/dev/null || true)"
  grep -qx "/usr/share/man/man1/$page.1.gz" <<< "$paths" || fail "man -w $page: not installed"
done
man -w trnctl

echo "--- bash completion"
comp=/usr/share/bash-completion/completions/trnctl
# bash-completion's own loader finds the file by the command's name.
out="$(bash -c 'source /usr/share/bash-completion/bash_completion
                _completion_loader trnctl; complete -p trnctl')" || fail "no completion for trnctl"
echo "$out"
[ "$out" = "complete -F _trnctl trnctl" ] || fail "unexpected completion: $out"
# Words typed so far, then what the completion must offer.
while IFS='|' read -r words want; do
  got="$(COMP_WORDS_TEXT="$words" bash -c 'source "$1"
    read -ra COMP_WORDS <<< "$COMP_WORDS_TEXT"
    [[ $COMP_WORDS_TEXT == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _trnctl
    echo "${COMPREPLY[*]}"' _ "$comp")"
  [ "$got" = "$want" ] || fail "completing '$words': got '$got', want '$want'"
  echo "trnctl ${words#trnctl } -> $got"
done <<'EOF'
trnctl g|get
trnctl -t 50 --ver|--verbose --version
trnctl -d /dev/ttyS0 get ring-f|ring-freq
trnctl set volume-o|volume-output=
trnctl set membrane = g|green
trnctl set gpio=0,|0,1 0,2
trnctl set gpio=none,|
trnctl backlight |off on
trnctl selftest --b|--buttons --button-timeout
trnctl st|station
trnctl station --d|--db --dut-pattern
trnctl rec|records
trnctl records --db x.db y|yield
trnctl records yield --by |day station
trnctl p|ports
trnctl watch --r|--reconnect
trnctl records p|push
trnctl records serve --l|--listen
trnctl records push --p|--push
trnctl station --p|--push
EOF

echo "--- apt-get purge"
apt-get purge -y -qq trndemo >/dev/null
left=0
while read -r f; do
  if [ -e "$f" ] || [ -L "$f" ]; then echo "left behind: $f" >&2; left=1; fi
done < "$tmp/files"
[ "$left" -eq 0 ] || fail "files of the package are left after purging it"
echo "package check passed: $(wc -l < "$tmp/files") files installed and purged"

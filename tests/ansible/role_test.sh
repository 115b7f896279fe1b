#!/usr/bin/env bash
# The role quento.flash.station: --check installs nothing, a missing or wrong quento_deb stops
# the run before the station is touched, the first real run installs the Debian package and the
# second does nothing. apt and dpkg run in a mount namespace of their own, over overlays of
# /usr, /etc and /var that vanish with it: the machine running the test is left as it was.
# Needs root, ansible-core and overlayfs, else exits 77 (skipped).
#   role_test.sh QUENTO_DEB
set -uo pipefail
[[ -f ${1:?usage: role_test.sh QUENTO_DEB} ]] || { echo "SKIP: no $1 (./build.sh package)"; exit 77; }
deb="$(realpath "$1")"
version="$(basename "$deb" | cut -d_ -f2)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root"; exit 77; }
command -v ansible-playbook >/dev/null || { echo "SKIP: no ansible-core"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
printf '%s\n' '- name: Station' '  hosts: all' '  gather_facts: false' '  roles:' \
  '    - quento.flash.station' >"$work/station.yml"
# In order. name|ansible-playbook arguments|its result line must match|its log must hold
runs=(
  "check|--check -e quento_deb=$deb|status=0 cli=none .*changed=[1-9]|would install quento-cli"
  "no-deb||status=[1-9][0-9]* cli=none |missing required arguments: quento_deb"
  "not-a-file|-e quento_deb=$work|status=[1-9][0-9]* cli=none |quento_deb must name"
  "first|-e quento_deb=$deb|status=0 cli=quento-cli $version .*changed=[1-9]|"
  "second|-e quento_deb=$deb|status=0 cli=quento-cli .*changed=0 |"
)
# Runs in the new mount namespace: the overlays, then each run with what quento-cli is after it.
inside() {
  mount --make-rprivate / || exit 77
  for d in usr etc var; do
    mkdir -p "$work/$d.up" "$work/$d.work" && mount -t overlay overlay \
      -o "lowerdir=/$d,upperdir=$work/$d.up,workdir=$work/$d.work" "/$d" || exit 77
  done
  while IFS='|' read -r name args _; do
    read -ra args <<<"$args"
    ANSIBLE_COLLECTIONS_PATH="$root/ansible" ANSIBLE_NOCOLOR=1 timeout 300 ansible-playbook \
      -i localhost, -c local -e ansible_python_interpreter=/usr/bin/python3 "${args[@]}" \
      "$work/station.yml" </dev/null >"$work/$name.log" 2>&1
    status=$?
    echo "$name: status=$status cli=$(quento-cli --version 2>/dev/null || echo none)" \
      "$(sed -n 's/^localhost *: //p' "$work/$name.log")"
  done
}
export -f inside && export work root
out="$(printf '%s\n' "${runs[@]}" | unshare -m bash -c inside)"
[[ $? -eq 77 ]] && { echo "SKIP: no overlay mounts here"; exit 77; }
echo "$out"
fail=0
for run in "${runs[@]}"; do
  IFS='|' read -r name _ line holds <<<"$run"
  { grep -q "^$name: $line" <<<"$out" && grep -qF "$holds" "$work/$name.log"; } ||
    { cat "$work/$name.log"; echo "FAIL: $name: wanted '$line' and '$holds'"; fail=1; }
done
# A refused quento_deb stops the run before the station is asked anything.
for name in no-deb not-a-file; do
  ! grep -q 'Ask the station' "$work/$name.log" ||
    { echo "FAIL: $name reached the station"; fail=1; }
done
command -v quento-cli >/dev/null && { echo "FAIL: the package reached the machine"; fail=1; }
[[ $fail -eq 0 ]] && echo "role test passed"
exit $fail

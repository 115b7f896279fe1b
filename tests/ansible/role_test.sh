#!/usr/bin/env bash
# The role quento.flash.station installs the Debian package, and the second time does nothing.
# apt and dpkg run in a mount namespace of their own, over overlays of /usr, /etc and /var that
# vanish with it: the machine running the test is left as it was. Needs root, ansible-core and
# overlayfs, else exits 77 (skipped).
#   role_test.sh QUENTO_DEB
set -uo pipefail
[[ -f ${1:?usage: role_test.sh QUENTO_DEB} ]] || { echo "SKIP: no $1 (./build.sh package)"; exit 77; }
deb="$(realpath "$1")"
root="$(cd "$(dirname "$0")/../.." && pwd)"
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root"; exit 77; }
command -v ansible-playbook >/dev/null || { echo "SKIP: no ansible-core"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
printf '%s\n' '- name: Station' '  hosts: all' '  gather_facts: false' '  roles:' \
  '    - quento.flash.station' >"$work/station.yml"
# Runs in the new mount namespace: the overlays, the role twice, the program it installed.
inside() {
  mount --make-rprivate / || exit 77
  for d in usr etc var; do
    mkdir -p "$work/$d.up" "$work/$d.work" && mount -t overlay overlay \
      -o "lowerdir=/$d,upperdir=$work/$d.up,workdir=$work/$d.work" "/$d" || exit 77
  done
  for run in 1 2; do
    ANSIBLE_COLLECTIONS_PATH="$root/ansible" ANSIBLE_NOCOLOR=1 timeout 300 ansible-playbook \
      -i localhost, -c local -e ansible_python_interpreter=/usr/bin/python3 \
      -e quento_deb="$deb" "$work/station.yml" >"$work/run$run.log" 2>&1 || return 1
    sed -n 's/^localhost *: /run '$run': /p' "$work/run$run.log"
  done
  quento-cli --version
}
export -f inside && export work root deb
out="$(unshare -m bash -c inside)"
status=$?
[[ $status -eq 77 ]] && { echo "SKIP: no overlay mounts here"; exit 77; }
echo "$out"
fail=0
[[ $status -eq 0 ]] || { cat "$work"/run*.log; fail=1; }
grep -q '^run 1: .*changed=[1-9]' <<<"$out" || { echo "FAIL: the first run installed nothing"; fail=1; }
grep -q '^run 2: .*changed=0 ' <<<"$out" || { echo "FAIL: the second run changed something"; fail=1; }
grep -qx "quento-cli $(basename "$deb" | cut -d_ -f2)" <<<"$out" || { echo "FAIL: version"; fail=1; }
command -v quento-cli >/dev/null && { echo "FAIL: the package reached the machine"; fail=1; }
[[ $fail -eq 0 ]] && echo "role test passed"

#!/usr/bin/env bash
# ansible-test sanity on the quento.flash collection, offline: only the tests that need nothing
# downloaded. ansible-test wants the collection at .../ansible_collections/quento/flash and, in a
# git checkout, would test only the files git knows; a copy in a temporary folder gets every file
# as it is now, and leaves no tests/output behind. Exits 77 (skipped) without ansible-test.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
command -v ansible-test >/dev/null || { echo "SKIP: no ansible-test (ansible-core)"; exit 77; }
# ansible-core's own Python: a python3 earlier in PATH (pyenv, a venv) may lack ansible.
python=/usr/bin/python3
[[ -x $python ]] || python="$(command -v python3)"
version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
# Each of these installs its pinned requirements with pip into a fresh venv, from the network.
skip=(
  ansible-doc       # Jinja2, PyYAML, packaging from pip
  changelog         # antsibull-changelog, rstcheck from pip
  import            # PyYAML (and Jinja2 for plugins) from pip
  pep8              # pycodestyle from pip
  pslint            # PowerShell modules; the collection has no PowerShell
  pylint            # pylint and astroid from pip
  runtime-metadata  # voluptuous from pip
  validate-modules  # voluptuous, Jinja2 from pip
  yamllint          # yamllint from pip
)
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
copy="$work/ansible_collections/quento/flash"
mkdir -p "$copy"
tar -C "$root/ansible/ansible_collections/quento/flash" --exclude=tests/output \
  --exclude=__pycache__ --exclude='*.tar.gz' -cf - . | tar -C "$copy" -xf - || exit 1
cd "$copy" || exit 1
ansible-test sanity --color no --python "$version" --python-interpreter "$python" \
  "${skip[@]/#/--skip-test=}"

#!/bin/sh
# The quento.flash collection's unit tests with pytest (ctest sets PYTHONPATH to the folder above
# ansible_collections). Exits 77 (skipped) without pytest and while there are no tests yet:
# pytest exits 5 when it collects none.
#   unit_test.sh COLLECTION/tests/unit
# ansible-core's own Python: a python3 earlier in PATH (pyenv, a venv) may lack ansible.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" -c 'import pytest' 2>/dev/null || { echo "SKIP: no pytest (python3-pytest)"; exit 77; }
[ -d "$1" ] || { echo "SKIP: no $1 yet"; exit 77; }
"$python" -m pytest -q -p no:cacheprovider "$1"
status=$?
[ "$status" -eq 5 ] && { echo "SKIP: no unit tests in $1 yet"; exit 77; }
exit "$status"

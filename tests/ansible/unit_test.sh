#!/bin/sh
# The quento.flash collection's unit tests with pytest (ctest sets PYTHONPATH to the folder above
# ansible_collections). Exits 77 (skipped) without pytest.
#   unit_test.sh COLLECTION/tests/unit
# ansible-core's own Python: a python3 earlier in PATH (pyenv, a venv) may lack ansible.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" -c 'import pytest' 2>/dev/null || { echo "SKIP: no pytest (python3-pytest)"; exit 77; }
exec "$python" -m pytest -q -p no:cacheprovider "$1"

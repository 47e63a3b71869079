#!/usr/bin/env bash
# Runs the short tour of the module (installing and building what is missing).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
exec "$PY" examples/tour.py

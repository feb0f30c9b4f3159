#!/usr/bin/env bash
# Installs the build dependencies, builds Vexo and its plug-ins and converts a copy of the bundled samples to
# PNG, printing the report.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DVEXO_GUI=ON >/dev/null
cmake --build build --target vexo vexo_plugins
work=$(mktemp -d)
cp -r samples "$work/"
echo "Converting $work/samples:"
build/bin/vexo --console -gp -s "$work/samples"
echo "Outputs are in $work/samples"

#!/usr/bin/env bash
# The demonstration: what the library knows and a settings round trip, in a
# settings store of its own under the build folder.
set -eu
build=${1:-build}
tallory=$build/bin/tallory
export XDG_CONFIG_HOME=$(cd "$build" && pwd)/demo/config
echo "== $("$tallory" --version)"
echo "== formats"
"$tallory" formats
echo "== settings round trip (store: $XDG_CONFIG_HOME/Veshna/Tallory/settings.sqlite3)"
"$tallory" settings set Settings TempPath /tmp
"$tallory" settings set Settings BPMAnalysis 1 --type int
echo "TempPath    = $("$tallory" settings get Settings TempPath)"
echo "BPMAnalysis = $("$tallory" settings get Settings BPMAnalysis)"

#!/usr/bin/env bash
# Writes the songs to compare across builds into a folder: every song the host's player
# and tool tests play (ZIMBLO_EXPORT_SONGS, as song-<hash>.song) and the embedded song
# (embedded.song). Used by check-bits.sh and test-web.sh.
#
#   export-songs.sh BUILD FOLDER   BUILD: the native build holding the test programs and
#                                  zimblo-render; FOLDER is made when missing
set -euo pipefail
(($# == 2)) || { echo "usage: export-songs.sh BUILD FOLDER" >&2; exit 2; }
host=$1 folder=$2
mkdir -p "$folder"
for t in zimblo_player_tests zimblo_tools_tests; do
  [[ -x $host/$t ]] && ZIMBLO_EXPORT_SONGS="$folder" "$host/$t" --gtest_brief=1 >/dev/null
done
"$host/zimblo-render" --export-song "$folder/embedded.song"

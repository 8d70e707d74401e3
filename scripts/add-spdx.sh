#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Puts "SPDX-License-Identifier: MIT" into the header comment of every
# tracked source file that lacks it, in the file's own comment style, as the
# comment's first line (after a #! line). Running it again changes nothing.
#   add-spdx.sh [FILE...]     (default: every tracked source file)
set -euo pipefail
cd "$(git rev-parse --show-toplevel)"
tag="SPDX-License-Identifier: MIT"

if [ "$#" -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- '*.c' '*.h' '*.cpp' '*.hpp' '*.cmake' '*CMakeLists.txt' \
    '*.sh' '*.lua' '*.1' '*.in' '*.map' 'debian/rules' '.ci/run')
fi

# The comment line to add for a file, by its kind.
comment_for() {
  case "$1" in
    *.c | *.h | *.map) echo "c" ;;
    *.cpp | *.hpp) echo "cpp" ;;
    *.lua) echo "-- $tag" ;;
    *.1) echo ".\\\" $tag" ;;
    *) echo "# $tag" ;;
  esac
}

changed=0
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  # Already tagged within its header comment.
  head -n 5 "$f" | grep -q "SPDX-License-Identifier:" && continue
  style=$(comment_for "$f")
  first=$(head -n 1 "$f")
  tmp=$(mktemp)
  case "$style" in
    c)
      if [ "$first" = "/*" ]; then
        # A block comment opening on its own line: the tag is its first line.
        { echo "/*"; echo " * $tag"; tail -n +2 "$f"; } >"$tmp"
      elif [[ "$first" == //* ]]; then
        { echo "// $tag"; cat "$f"; } >"$tmp"
      else
        { echo "/* $tag */"; cat "$f"; } >"$tmp"
      fi
      ;;
    cpp)
      if [ "$first" = "/*" ]; then
        { echo "/*"; echo " * $tag"; tail -n +2 "$f"; } >"$tmp"
      else
        { echo "// $tag"; cat "$f"; } >"$tmp"
      fi
      ;;
    *)
      if [[ "$first" == '#!'* ]]; then
        { echo "$first"; echo "$style"; tail -n +2 "$f"; } >"$tmp"
      else
        { echo "$style"; cat "$f"; } >"$tmp"
      fi
      ;;
  esac
  # Keep the file's mode (scripts stay executable).
  cat "$tmp" >"$f"
  rm -f "$tmp"
  changed=$((changed + 1))
done
echo "add-spdx: $changed file(s) tagged"

#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that every tracked source file (C++, C, CMake, shell) begins with its licence line:
# "// SPDX-License-Identifier: MIT" in C and C++, "# SPDX-License-Identifier: MIT" in CMake and
# shell, right after the "#!" line in a script. With --add it inserts the missing lines instead.
# Test data and the demo home are the application's files, not ours, and are left alone.
# Usage: scripts/spdx.sh [--add]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
add=0
[ "${1:-}" = "--add" ] && add=1
cd "$top"

missing=0
files=$(git -c core.quotepath=false ls-files -- . ':!tests/data' ':!demo/home')
while IFS= read -r file; do
    case $file in
    *.cpp | *.h | *.c) line="// SPDX-License-Identifier: MIT" ;;
    *.cmake | */CMakeLists.txt | CMakeLists.txt | *.sh) line="# SPDX-License-Identifier: MIT" ;;
    *)
        head -c 2 "$file" | grep -q '^#!' || continue
        line="# SPDX-License-Identifier: MIT"
        ;;
    esac
    # The licence line goes first, or second after the "#!" line, which must stay first.
    at=1
    head -c 2 "$file" | grep -q '^#!' && at=2
    [ "$(sed -n "${at}p" "$file")" = "$line" ] && continue
    if [ $add -eq 0 ]; then
        echo "spdx: $file lacks '$line' on line $at" >&2
        missing=$((missing + 1))
    elif [ $at -eq 1 ]; then
        sed -i "1i $line" "$file"
    else
        sed -i "1a $line" "$file"
    fi
done <<EOF_FILES
$files
EOF_FILES
if [ $missing -gt 0 ]; then
    echo "spdx: $missing source files lack their licence line: run scripts/spdx.sh --add" >&2
    exit 1
fi

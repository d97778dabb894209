#!/bin/sh
# What a replacement may leave behind after a crash: the old content or the
# new, whole -- never an empty or torn file.
set -eu
content=$(cat "${1:-.}/data" 2>/dev/null) || { echo "data is gone"; exit 1; }
case "$content" in
"old content" | "new content") exit 0 ;;
*) echo "data holds '$content'"; exit 1 ;;
esac

#!/bin/sh
# Replaces the file "data" in the current directory by writing a temporary,
# renaming it over, and syncing the directory, as editors and configuration
# tools do. "replace.sh buggy" forgets to sync the temporary's data before
# the rename; "replace.sh fixed" syncs it. Then it says it is done by making
# "done", which is where examples/replace-file/tavrin.conf cuts the power.
set -eu
printf 'new content\n' > data.tmp
if [ "${1:-fixed}" = fixed ]; then
    sync data.tmp    # the data is durable before its name is
fi
mv data.tmp data
sync .               # the rename is durable
: > done

#!/bin/sh
# After the cut: the database must open, pass its integrity check and hold
# every row whose commit the client saw. COMMITTED names the workload's log.
: "${COMMITTED:=${TAVRIN_DIR:+$TAVRIN_DIR.committed}}" "${COMMITTED:=/tmp/committed}"
touch "$COMMITTED"
[ "$(sqlite3 db 'PRAGMA integrity_check')" = ok ] || { echo "integrity check failed"; exit 1; }
missing=0
for i in $(cat "$COMMITTED"); do
    [ "$(sqlite3 db "SELECT count(*) FROM t WHERE i = $i")" = 1 ] || missing=$((missing + 1))
done
echo "$(wc -l < "$COMMITTED") rows committed, $missing lost"
[ "$missing" -eq 0 ]

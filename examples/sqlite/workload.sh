#!/bin/sh
# Inserts 200 rows, one transaction each, and logs every row whose commit the
# client saw succeed. Run it inside the mount: SYNC=EXTRA, FULL or OFF (under
# tavrin-run -explore only EXTRA keeps every acknowledged row: with FULL the
# unlinked journal of the last commit can come back at a cut),
# JOURNAL=DELETE (the default) or JOURNAL=WAL (mount with
# -direct_io_regexp='\.db$|db-wal$' rather than -o direct_io: WAL maps its
# db-shm file), COMMITTED names the log (outside the mount, so that the cut
# spares it).
# Under tavrin-run -explore, by default the log is beside the run's copy of
# BASEDIR (TAVRIN_BASEDIR), where check.sh finds it; ROWS sets how many.
: "${SYNC:=FULL}" "${JOURNAL:=DELETE}" "${ROWS:=200}"
: "${COMMITTED:=${TAVRIN_BASEDIR:+$TAVRIN_BASEDIR.committed}}" "${COMMITTED:=/tmp/committed}"
sqlite3 db "PRAGMA journal_mode=$JOURNAL; PRAGMA synchronous=$SYNC;
            CREATE TABLE IF NOT EXISTS t(i INTEGER, pad TEXT);" >/dev/null || exit 1
i=1
while [ $i -le "$ROWS" ]; do
    sqlite3 db "PRAGMA synchronous=$SYNC; INSERT INTO t VALUES($i, hex(randomblob(300)));" \
        2>/dev/null && echo $i >> "$COMMITTED"
    i=$((i + 1))
done
exit 0

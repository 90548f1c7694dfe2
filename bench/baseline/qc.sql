-- qc.db at the first generation: the statements that dbupdate runs on it, for the
-- sqlite3 shell (bench/run.py). Generated; do not edit.
-- dbupdate only opens qc.db and reads its version.
select version from version order by version desc;

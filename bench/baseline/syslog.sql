-- syslog.db at the first generation: the statements that dbupdate runs on it, for the
-- sqlite3 shell (bench/run.py), in one transaction. Generated; do not edit.
PRAGMA legacy_alter_table=ON;
BEGIN IMMEDIATE;
select version from version order by version desc;
create table version(version integer);
-- 历史记录
create table balance(
	id integer primary key,
	date date,			-- 保存日期
	time time,			-- 保存时间
	item integer,		-- 项目ID
	value integer		-- 余额
	);
create index talance_index on balance(date, time, item);
delete from version;
insert into version values(1);
COMMIT;

-- Applied after samples/syslog.sql: a syslog.db at version 1.
create table version(version integer);
insert into version values(1);
create table balance(id integer primary key, date date, time time, item integer, value integer);
create index talance_index on balance(date, time, item);
insert into balance values(1, '2021-01-01', '10:00:00', 3, 120);

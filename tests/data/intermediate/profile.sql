-- Applied after samples/profile.sql: a profile.db at version 2.
alter table user rename to user_old;
create table user(id integer primary key, name text unique COLLATE NOCASE, password text, level integer default 0, hide integer default 0);
insert into user(id, name, password, level) select id, name, password, level from user_old;
drop table user_old;
alter table curve add column instrUuid text;
drop index curve_index;
create unique index curve_index on curve(name, instrUuid);
create table curveInfo(curveId integer references curve, name text not null, value, unique (curveId, name) on conflict replace);
insert into curveInfo values(1, 'gain', 3);
create table version(version integer);
insert into version values(2);

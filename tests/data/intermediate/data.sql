-- Applied after samples/data.sql: a data.db at version 1.
alter table patient add sampleType text;
alter table patient add hospitalNo text;
create table detail(id integer primary key, patientId integer references patient, item text, info text, unique(patientId, item) on conflict replace);
insert into detail values(1, 1, 'PT', 'channel 1');
insert into detail values(2, 2, 'APTT', 'channel 3');
create table version(version integer);
insert into version values(1);

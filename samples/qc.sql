-- qc.db of the analyser application; dbupdate leaves it as it is.
create table qcLot(id integer primary key, item text, lot text, target real, sd real);
insert into qcLot values(1, 'PT', 'QC-N-2020', 12.0, 0.4);
create table qcResult(id integer primary key, lotId integer, date date, value real);
insert into qcResult values(1, 1, '2020-05-04', 12.1);

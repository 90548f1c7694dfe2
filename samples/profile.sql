-- profile.db as the first generation of the analyser application left it (no version table).
create table user(id integer primary key, name text, password text, level integer);
insert into user values(1, 'admin', 'e10adc39', 2);
insert into user values(2, 'service', '5f4dcc3b', 1);
insert into user values(3, '李医生', '7c6a180b', 0);

create table curve(id integer primary key, name text, createDate date);
insert into curve values(1, 'PT', '2019-03-01');
insert into curve values(2, 'FIB', '2019-03-01');
insert into curve values(3, 'PT', '2020-06-15');
create index curve_index on curve(name);
create table curvePoint(curveId integer, x real, y real);
insert into curvePoint values(1, 10.0, 12.5);
insert into curvePoint values(1, 20.0, 24.1);
insert into curvePoint values(3, 10.0, 12.9);
create table curveVariable(curveId integer, name text, value);
insert into curveVariable values(1, 'ISI', 1.02);
insert into curveVariable values(2, 'k', 0.85);
insert into curveVariable values(3, 'ISI', 1.05);
create table curveReagent(curveId integer, reagent text, lot text);
insert into curveReagent values(1, 'PT', 'L2019');

create table assayCalibration(id integer primary key, name text, funX text, funY text, assayTemplateId integer);
insert into assayCalibration values(1, 'PT', 'Linear', 'Linear', 1);
insert into assayCalibration values(2, 'FIB', 'Linear', 'Linear', 2);
insert into assayCalibration values(3, 'DD', 'Linear', 'Linear', 3);
create table assayItem(id integer primary key, name text, precision integer);
insert into assayItem values(1, 'PT', 1);
insert into assayItem values(2, 'OD', 3);
create table variable(id integer primary key, assayTemplateId integer, name text, value);
insert into variable values(1, 1, 'ISI', null);
insert into variable values(2, 2, 'k', null);
insert into variable values(3, 3, 'cutoff', null);

create table profile(name text primary key, value);
insert into profile values('schedule/test/PT', 25);
insert into profile values('DD/disable', 1);
insert into profile values('language', 'zh_CN');
create table reagent(id integer primary key, type integer, name text unique, initVolume integer, alarmLimit integer, vialType integer);
insert into reagent values(1, 1, 'PT', 4000, 400, 2);
insert into reagent values(2, 2, 'Buffer', 6500, 200, 6);
insert into reagent values(3, 0, 'Latex', 1500, 100, 3);

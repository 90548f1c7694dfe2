-- profile.db at the first generation: the statements that dbupdate runs on it, for the
-- sqlite3 shell (bench/run.py), in one transaction. Generated; do not edit.
-- The copy of user is written as insert ... select, the variable backfill as one
-- update from the lookup run once per assay template and name.
PRAGMA legacy_alter_table=ON;
BEGIN IMMEDIATE;
select version from version order by version desc;
alter table user rename to user_bak;
create table user(
	id integer primary key,
	name text unique COLLATE NOCASE,
	password text,
	level integer default 0,
	hide integer default 0 );
insert into user (id, name, password, level) select * from user_bak;
drop table user_bak;
-- curve debug info, since v1
create table curveInfo (
	curveId integer references curve,
	name text not null,
	value,
	unique (curveId, name) on conflict replace
	);
drop trigger if exists deleteCurve;
create trigger deleteCurve after delete on curve 
begin 
	delete from curvePoint    where    curvePoint.curveId = old.id;
	delete from curveVariable where curveVariable.curveId = old.id;
	delete from curveReagent  where  curveReagent.curveId = old.id;
	delete from curveInfo     where     curveInfo.curveId = old.id;
end;
create table version(version integer);
alter table curve add column instrUuid text;
drop index curve_index;
create unique index curve_index on curve(name, instrUuid);
alter table assayCalibration add column method integer;
alter table assayCalibration add column dispX text;
alter table assayCalibration add column dispY text;
alter table curve add column c real;
alter table curve add column d real;
alter table curve add column e real;
alter table curve add column valid integer;
alter table curve add column lotsNum text;
-- currentCurve
create table currentCurve (
	id integer primary key,
	name text unique on conflict replace,
	curveId integer references curve
	);
drop index curve_index;
drop trigger if exists deleteCurve;
create trigger deleteCurve after delete on curve
begin
	delete from curvePoint    where    curvePoint.curveId = old.id;
	delete from curveVariable where curveVariable.curveId = old.id;
	delete from curveReagent  where  curveReagent.curveId = old.id;
	delete from curveInfo     where     curveInfo.curveId = old.id;
	delete from currentCurve  where  currentCurve.curveId = old.id;
end;
delete from version;
insert into version values(4);
insert into profile values('FIB/report/dilution', '1/10');
insert into profile values('dilution', '梯度1;1/5;1/10;1/20;1/30,梯度2;1/5;1/10;1/20;1/30;1/40,梯度3;1/1;1/2;1/4;1/8,梯度4;1/1;3/4;1/2;1/4');
insert into profile values('patient/sampleType',	'样本类型');
delete from reagent where name = 'Buffer';
delete from reagent where name = 'Latex';
delete from reagent where name = 'Saline';
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(0, 'Latex',	     2000, 200, 3);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(0, 'FDP',           2000, 200, 3);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Saline',	     6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(PT)',    6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(APTT)',  6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(FIB)',   6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(TT)',    6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(DD)',    6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(EX)',    6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(EN)',    6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(2, 'Buffer(FDP)',   6500, 200, 6);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(5, 'DD ct',         1000, 200, 1);
replace into reagent (type, name, initVolume, alarmLimit, vialType) values(5, 'FDP ct',        1000, 200, 1);
replace into profile values('DD/mix/times',			3);
replace into profile values('DD/max_clot_time',		120);
replace into profile values('specialValue/DD/P',		0.1);
replace into profile values('DD/priority',			10);
replace into profile values('FDP/mix/times',			3);
replace into profile values('FDP/max_clot_time',		120);
replace into profile values('specialValue/FDP/P',		0.1);
delete from profile where name='DD/disable';
delete from profile where name='II/disable';
delete from profile where name='V/disable';
delete from profile where name='VII/disable';
delete from profile where name='X/disable';
delete from profile where name='VIII/disable';
delete from profile where name='IX/disable';
delete from profile where name='XI/disable';
delete from profile where name='XII/disable';
delete from profile where name='FDP/disable';
insert into profile values('reagent/initVolume',	'初始量[ul]');
insert into profile values('reagent/alarmLimit',	'报警限[ul]');
insert into profile values('reagent/interruptLimit','中断限[ul]');
insert into profile values('patient/hospitalNo',	'住院号');
replace into profile values('schedule/sample',		6);
replace into profile values('schedule/reagent',		6);
replace into profile values('schedule/mix',			2);
replace into profile values('schedule/dilution',		12);
replace into profile values('schedule/dilution/1/10',	12);
replace into profile values('schedule/dilution/1/20',	17);
replace into profile values('schedule/dilution/1/40',	22);
replace into profile values('schedule/clean',			15);
replace into profile values('schedule/test/PT',		27);
replace into profile values('schedule/test/FIB/table', '0.2,25;0.1,35;0.05,45;0.025,65');
replace into profile values('schedule/test/APTT',		50);
replace into profile values('schedule/test/TT',		35);
replace into profile values('schedule/test/II',		30);
replace into profile values('schedule/test/V',		30);
replace into profile values('schedule/test/VII',		30);
replace into profile values('schedule/test/X',		30);
replace into profile values('schedule/test/VIII',		30);
replace into profile values('schedule/test/IX',		30);
replace into profile values('schedule/test/XI',		30);
replace into profile values('schedule/test/XII',		30);
insert or abort into profile values('analyst/FIB/odPercent', 		0.5);
replace into profile values('analyst/FIB/odThreshold',	'4,0.008; 6,0.004; 10,0.0025; 20,0.001; 40,0.0005');
replace into profile values('analyst/APTT/odThreshold',	'4,0.2; 10,0.05; 20,0.02');
replace into profile values('analyst/odThreshold',	    '4,0.2; 8,0.05; 10,0.01');
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='PT';
update assayCalibration set method=0, funX='Log', funY='Log', dispX='Log', dispY='Log' where name='PT 演算 FIB' or name='PT calculate FIB';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='FIB';
update assayCalibration set method=4, funX='Log', funY='Linear', dispX='Log', dispY='Log' where name='DD';
update assayCalibration set method=4, funX='Log', funY='Linear', dispX='Log', dispY='Log' where name='FDP';
update assayCalibration set method=4, funX='Log', funY='Linear', dispX='Log', dispY='Log' where name='AT';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='II';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='V';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='VII';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='X';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='VIII';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='IX';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='XI';
update assayCalibration set method=0, dispX='Log', dispY='Log' where name='XII';
update assayItem set precision=-1 where name='OD';
insert into currentCurve (name, curveId) select name, id from curve;
select count(*) from variable where value notnull;
SAVEPOINT block;
with pair as (select distinct assayTemplateId, name from variable),
	source as materialized (select assayTemplateId, name, (select curveVariable.value from curveVariable, curve, assayCalibration where curveVariable.name=pair.name and curveId=curve.id       and curve.name=assayCalibration.name       and assayCalibration.assayTemplateId=pair.assayTemplateId limit 1) as value
		from pair where exists (select curveVariable.value from curveVariable, curve, assayCalibration where curveVariable.name=pair.name and curveId=curve.id       and curve.name=assayCalibration.name       and assayCalibration.assayTemplateId=pair.assayTemplateId))
update variable set value = source.value from source
	where variable.assayTemplateId = source.assayTemplateId and variable.name = source.name;
RELEASE block;
COMMIT;

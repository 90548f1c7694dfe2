-- data.db at the first generation: the statements that dbupdate runs on it, for the
-- sqlite3 shell (bench/run.py), in one transaction. Generated; do not edit.
-- The copies of the lookup tables are written as insert ... select.
PRAGMA legacy_alter_table=ON;
BEGIN IMMEDIATE;
select version from version order by version desc;
alter table patient add sampleType text;
alter table patient add hospitalNo text;
alter table department rename to department_bak;
create table department(
	id integer primary key,
	abbr text COLLATE NOCASE,
	name text);
create index if not exists department_index on department (abbr);
insert into department select * from department_bak;
drop table department_bak;
alter table sex rename to sex_bak;
create table sex(
	id integer primary key,
	abbr text COLLATE NOCASE,
	name text);
create index if not exists sex_index on sex (abbr);
insert into sex select * from sex_bak;
drop table sex_bak;
alter table treatmentRoom rename to treatmentRoom_bak;
create table treatmentRoom(
	id integer primary key,
	abbr text COLLATE NOCASE,
	name text);
create index if not exists treatmentRoom_index on treatmentRoom (abbr);
insert into treatmentRoom select * from treatmentRoom_bak;
drop table treatmentRoom_bak;
alter table diagnosis rename to diagnosis_bak;
create table diagnosis(
	id integer primary key,
	abbr text COLLATE NOCASE,
	name text);
create index if not exists diagnosis_index on diagnosis (abbr);
insert into diagnosis select * from diagnosis_bak;
drop table diagnosis_bak;
alter table doctor rename to doctor_bak;
create table doctor(
	id integer primary key,
	abbr text COLLATE NOCASE,
	name text);
create index if not exists doctor_index on doctor (abbr);
insert into doctor select * from doctor_bak;
drop table doctor_bak;
alter table operator rename to operator_bak;
create table operator(
	id integer primary key,
	abbr text COLLATE NOCASE,
	name text);
create index if not exists operator_index on operator (abbr);
insert into operator select * from operator_bak;
drop table operator_bak;
create table detail(
	id integer primary key,
	patientId integer references patient,
	item text,										-- 测量项目, 如PT
	info text,										-- 测试详细信息, 如测试通道等
	unique(patientId, item) on conflict replace);
create table version(version integer);
drop trigger on_delete_patient;
create trigger on_delete_patient after delete on patient
begin
	delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;
	delete from result where old.id = result.patientId;
	delete from patientExtra where old.id = patientExtra.patientId;
	delete from curve where old.id = curve.patientId;
	delete from detail where old.id = detail.patientId;
end;
SAVEPOINT block;
-- 原始检验结果
create table results(
	id integer primary key,
	patientId integer references patient,
	item text,										-- 测量项目, 如PT
	subitem text,									-- 测量子项目, 如PT.T
	version integer,								-- 结果版本, 每保存一次版本增加1
	abbr text,										-- 代码缩写
	code text,										-- 代码全称
	date date,										-- 保存日期
	time time,										-- 保存时间
	result real,									-- 结果
	unit text,										-- 单位
	flag integer,									-- 状态标志
	displayOrder integer,							-- 显示顺序
	lowerMarkLimit real,							-- 正常值下限, 出现在报告单
	upperMarkLimit real								-- 正常值上限, 出现在报告单
	)
;
create index results_index on results(patientId, item, subitem);
insert into results (	id, patientId, item, subitem, version, 	abbr, code, result, unit, flag, displayOrder, 	lowerMarkLimit, upperMarkLimit) select 	id, patientId, item, subitem, 1, 	abbr, code, result, unit, flag, displayOrder, 	lowerMarkLimit, upperMarkLimit from result;
-- 选中的结果
create table checkedResult(
	id integer primary key,
	patientId integer references patient,
	item text,										-- 测量项目, 如PT
	subitem text,									-- 测量子项目, 如PT.T
	resultsId integer references results,
	
	unique(patientId, item, subitem) on conflict replace
	);
create index checkedResult_index on checkedResult(patientId, item, subitem);
insert into checkedResult(	patientId, item, subitem, resultsId) select	patientId, item, subitem, id from result;
drop index result_index;
drop table result;
-- 检验结果视图
create view result as 
	select results.* 
	from results, checkedResult 
	where results.id = checkedResult.resultsId
;
alter table curve rename to old_curve;
-- 测量曲线
create table curve(
	id integer primary key,
	patientId integer references patient,
	item text,										-- 测量项目, 如PT
	version integer,								-- 结果版本
	curve blob										-- 测量曲线
	);
insert into curve (	id, patientId, item, version, curve) select 	id, patientId, item, 1, curve from old_curve;
drop table old_curve;
alter table detail rename to old_detail;
-- 测试详情
create table detail(
	id integer primary key,
	patientId integer references patient,
	item text,										-- 测量项目, 如PT
	version integer,								-- 结果版本
	info text										-- 测试详细信息, 如测试通道等
	);
insert into detail (	id, patientId, item, version, info) select 	id, patientId, item, 1, info from old_detail;
drop table old_detail;
drop trigger on_delete_patient;
create trigger on_delete_patient after delete on patient
begin
	delete from patientExtra where old.id = patientExtra.patientId;
	delete from exam where old.sampleNo = exam.sampleNo and old.date = exam.date;
	delete from results where old.id = results.patientId;
	delete from checkedResult where old.id = checkedResult.patientId;
	delete from curve where old.id = curve.patientId;
	delete from detail where old.id = detail.patientId;
end;
RELEASE block;
delete from version;
insert into version values(3);
COMMIT;

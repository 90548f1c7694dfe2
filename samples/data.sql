-- data.db as the first generation of the analyser application left it (no version table).
create table patient(id integer primary key, sampleNo integer, date date, name text, sex integer, age integer, department integer);
insert into patient values(1, 1, '2020-05-04', '张三', 1, 45, 1);
insert into patient values(2, 2, '2020-05-04', 'Li Si', 2, 38, 2);
create table patientExtra(id integer primary key, patientId integer, remark text);
insert into patientExtra values(1, 1, '复查');
create table exam(id integer primary key, sampleNo integer, date date, item text);
insert into exam values(1, 1, '2020-05-04', 'PT');
insert into exam values(2, 2, '2020-05-04', 'APTT');

create table department(id integer primary key, abbr text, name text);
insert into department values(1, 'NK', '内科');
insert into department values(2, 'WK', '外科');
create table sex(id integer primary key, abbr text, name text);
insert into sex values(1, 'M', '男');
insert into sex values(2, 'F', '女');
create table treatmentRoom(id integer primary key, abbr text, name text);
insert into treatmentRoom values(1, 'MZ', '门诊');
create table diagnosis(id integer primary key, abbr text, name text);
create table doctor(id integer primary key, abbr text, name text);
insert into doctor values(1, 'wang', '王医生');
insert into doctor values(2, 'Wang', '汪医生');
create table operator(id integer primary key, abbr text, name text);
insert into operator values(1, 'op', 'Operator');

create table result(id integer primary key, patientId integer, item text, subitem text, abbr text, code text, result real, unit text, flag integer, displayOrder integer, lowerMarkLimit real, upperMarkLimit real);
create index result_index on result(patientId, item, subitem);
insert into result values(1, 1, 'PT', 'PT.T', 'PT', 'Prothrombin time', 12.3, 's', 0, 1, 10.0, 14.0);
insert into result values(2, 1, 'PT', 'PT.INR', 'INR', 'International normalised ratio', 1.04, '', 0, 2, 0.8, 1.2);
insert into result values(3, 2, 'APTT', 'APTT.T', 'APTT', 'Activated partial thromboplastin time', 31.7, 's', 0, 1, 25.0, 37.0);
create table curve(id integer primary key, patientId integer, item text, curve blob);
insert into curve values(1, 1, 'PT', x'0001000200030004');
insert into curve values(2, 2, 'APTT', x'00ff00fe00fd');

create trigger on_delete_patient after delete on patient
begin
	delete from result where old.id = result.patientId;
	delete from curve where old.id = curve.patientId;
end;

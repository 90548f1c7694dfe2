-- syslog.db as the first generation of the analyser application left it (no version table).
create table log(id integer primary key, date date, time time, message text);
insert into log values(1, '2020-05-04', '08:00:00', 'power on');

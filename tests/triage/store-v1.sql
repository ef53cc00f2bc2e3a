-- A crash history of store version 1 as crash-triage wrote it: three dumps and a renamed copy,
-- bucket 1 marked fixed in 10.2.0.8 with a note. history_test.py opens it with today's crash-triage.
PRAGMA page_size=4096;
PRAGMA application_id=1129607785;
PRAGMA user_version=1;
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE runs(id INTEGER PRIMARY KEY, started TEXT NOT NULL, command TEXT NOT NULL);
INSERT INTO runs VALUES(1,'2026-12-09T16:13:20Z','/tmp/v1build/triage/crash-triage --db v1.db dumps');
CREATE TABLE buckets(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE, fixed_in TEXT, note TEXT);
INSERT INTO buckets VALUES(1,'0xC0000005 nvwgf2umx.dll+0x1382','10.2.0.8','GAME-4711');
INSERT INTO buckets VALUES(2,'0xC0000005 d3d9.dll+0x2F44',NULL,NULL);
CREATE TABLE modules(id INTEGER PRIMARY KEY, name TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL,
                     stamp INTEGER NOT NULL, version TEXT NOT NULL, UNIQUE(path, size, stamp, version));
INSERT INTO modules VALUES(1,'Client.exe','C:\Games\Quorvandel\Client.exe',344064,0,'10.2.0.7');
INSERT INTO modules VALUES(2,'ntdll.dll','C:\Windows\System32\ntdll.dll',2064384,0,'10.0.19041.3636');
INSERT INTO modules VALUES(3,'KERNEL32.DLL','C:\Windows\System32\KERNEL32.DLL',778240,0,'10.0.19041.3636');
INSERT INTO modules VALUES(4,'nvwgf2umx.dll','C:\Windows\System32\DriverStore\nvwgf2umx.dll',33554432,0,'31.0.15.5222');
INSERT INTO modules VALUES(5,'Client.exe','C:\Games\Quorvandel\Client.exe',344064,0,'10.2.0.8');
INSERT INTO modules VALUES(6,'d3d9.dll','C:\Windows\System32\DriverStore\d3d9.dll',33554432,0,'31.0.15.5222');
CREATE TABLE dumps(id INTEGER PRIMARY KEY, sha256 BLOB NOT NULL UNIQUE, bytes INTEGER NOT NULL,
                   run INTEGER NOT NULL REFERENCES runs, bucket INTEGER NOT NULL REFERENCES buckets,
                   time TEXT, client_version TEXT, module_version TEXT, copies INTEGER NOT NULL DEFAULT 1);
INSERT INTO dumps VALUES(1,X'7dfa0dc487da53dba7fb1591c21b42475b0879b2615a51e23fb1ec6b3512e394',7028,1,1,'2026-03-01T10:00:00','10.2.0.7','31.0.15.5222',2);
INSERT INTO dumps VALUES(2,X'2dde1355afa050062f4c586f49ae249041eb6d4f180e24bc183c945acce05b32',7028,1,1,'2026-03-02T10:00:00','10.2.0.8','31.0.15.5222',1);
INSERT INTO dumps VALUES(3,X'67b70a0e43446da0c957aecaa1cfdd480ff70154ea6836b5adbdf3cf389baf1d',7004,1,2,'2026-03-03T10:00:00','10.2.0.8','31.0.15.5222',1);
CREATE TABLE facts(dump INTEGER PRIMARY KEY REFERENCES dumps, summary TEXT NOT NULL, modules BLOB NOT NULL,
                   frames TEXT NOT NULL);
INSERT INTO facts VALUES(1,'{"system":{"os":"windows","os_version":"10.0.19045","arch":"amd64"},"name":{"development":false,"version":"10.2.0.7","time":"2026-03-01T10:00:00","tag":null,"language":"DE"},"client_version":"10.2.0.7","exception":{"code":3221225477,"name":"EXCEPTION_ACCESS_VIOLATION","address":140717259232130,"thread":11872,"access":"write","target":0},"fault":{"module":"nvwgf2umx.dll","offset":4994,"module_version":"31.0.15.5222"},"report":{"fields":[["crash.schema","2"],["primary.captured","true"],["primary.source","wer-out-of-process"],["primary.synthetic","false"],["primary.code","0xC0000005"],["primary.address","0x00007FFB4A401382"],["primary.thread","11872"],["secondary.count","0"],["fault.module","nvwgf2umx.dll"],["fault.advice","none"],["runtime.module.0","Client.exe"],["runtime.module.1","ntdll.dll"],["runtime.module.2","KERNEL32.DLL"],["runtime.module.3","nvwgf2umx.dll"]],"client_text":[],"lines":14,"cut":false},"advice":"nvidia-driver","dump_time":"2026-03-01T10:00:00Z","time":"2026-03-01T10:00:00","time_source":"name","process_id":4242,"threads":1}',X'0180808080140280808080b4ff1f03808080f8b3ff1f04808080d2b4ff1f','[]');
INSERT INTO facts VALUES(2,'{"system":{"os":"windows","os_version":"10.0.19045","arch":"amd64"},"name":{"development":false,"version":"10.2.0.8","time":"2026-03-02T10:00:00","tag":null,"language":"DE"},"client_version":"10.2.0.8","exception":{"code":3221225477,"name":"EXCEPTION_ACCESS_VIOLATION","address":140717259232130,"thread":11872,"access":"write","target":0},"fault":{"module":"nvwgf2umx.dll","offset":4994,"module_version":"31.0.15.5222"},"report":{"fields":[["crash.schema","2"],["primary.captured","true"],["primary.source","wer-out-of-process"],["primary.synthetic","false"],["primary.code","0xC0000005"],["primary.address","0x00007FFB4A401382"],["primary.thread","11872"],["secondary.count","0"],["fault.module","nvwgf2umx.dll"],["fault.advice","none"],["runtime.module.0","Client.exe"],["runtime.module.1","ntdll.dll"],["runtime.module.2","KERNEL32.DLL"],["runtime.module.3","nvwgf2umx.dll"]],"client_text":[],"lines":14,"cut":false},"advice":"nvidia-driver","dump_time":"2026-03-02T10:00:00Z","time":"2026-03-02T10:00:00","time_source":"name","process_id":4242,"threads":1}',X'0580808080140280808080b4ff1f03808080f8b3ff1f04808080d2b4ff1f','[]');
INSERT INTO facts VALUES(3,'{"system":{"os":"windows","os_version":"10.0.19045","arch":"amd64"},"name":{"development":false,"version":"10.2.0.8","time":"2026-03-03T10:00:00","tag":null,"language":"DE"},"client_version":"10.2.0.8","exception":{"code":3221225477,"name":"EXCEPTION_ACCESS_VIOLATION","address":140719406722884,"thread":11872,"access":"write","target":0},"fault":{"module":"d3d9.dll","offset":12100,"module_version":"31.0.15.5222"},"report":{"fields":[["crash.schema","2"],["primary.captured","true"],["primary.source","wer-out-of-process"],["primary.synthetic","false"],["primary.code","0xC0000005"],["primary.address","0x00007FFBCA402F44"],["primary.thread","11872"],["secondary.count","0"],["fault.module","d3d9.dll"],["fault.advice","none"],["runtime.module.0","Client.exe"],["runtime.module.1","ntdll.dll"],["runtime.module.2","KERNEL32.DLL"],["runtime.module.3","d3d9.dll"]],"client_text":[],"lines":14,"cut":false},"advice":"direct3d","dump_time":"2026-03-03T10:00:00Z","time":"2026-03-03T10:00:00","time_source":"name","process_id":4242,"threads":1}',X'0580808080140280808080b4ff1f03808080f8b3ff1f06808080d2bcff1f','[]');
CREATE TABLE sightings(id INTEGER PRIMARY KEY, dump INTEGER NOT NULL REFERENCES dumps, path TEXT NOT NULL,
                       stamp TEXT, run INTEGER NOT NULL REFERENCES runs, UNIQUE(dump, path));
INSERT INTO sightings VALUES(1,1,'/srv/support/week1/Client_10.2.0.7_2026-03-01_10-00-00_DE.dmp','65024:11002392:7028:1796832800.161013655:1796832800.161013655',1);
INSERT INTO sightings VALUES(2,2,'/srv/support/week1/Client_10.2.0.8_2026-03-02_10-00-00_DE.dmp','65024:11002393:7028:1796832800.161289920:1796832800.161289920',1);
INSERT INTO sightings VALUES(3,3,'/srv/support/week1/Client_10.2.0.8_2026-03-03_10-00-00_DE.dmp','65024:11002394:7004:1796832800.161448091:1796832800.161448091',1);
INSERT INTO sightings VALUES(4,1,'/srv/support/week1/my crash.dmp','65024:11002396:7028:1796832800.251253344:1796832800.251253344',1);
CREATE INDEX dumps_by_bucket ON dumps(bucket, client_version, module_version, time, run, copies);
CREATE INDEX dumps_by_time ON dumps(bucket, time);
CREATE INDEX sightings_by_path ON sightings(path, stamp);
COMMIT;

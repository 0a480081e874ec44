-- NSRL RDS v3 as its publisher describes it: the tables a release holds,
-- without rows. The feed test and bench/feed_import_bench.sh fill it.
CREATE TABLE FILE (sha256 TEXT, sha1 TEXT, md5 TEXT, crc32 TEXT, file_name TEXT, file_size INTEGER,
                   package_id INTEGER);
CREATE TABLE PKG (package_id INTEGER PRIMARY KEY, name TEXT, version TEXT, operating_system_id INTEGER,
                  manufacturer_id INTEGER, language TEXT, application_type TEXT);
CREATE TABLE OS (operating_system_id INTEGER PRIMARY KEY, name TEXT, version TEXT, manufacturer_id INTEGER);
CREATE TABLE MFG (manufacturer_id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE VERSION (version TEXT, build_set TEXT, build_date TEXT, release_date TEXT, description TEXT);
CREATE VIEW DISTINCT_HASH AS SELECT DISTINCT sha256, sha1, md5, crc32 FROM FILE;

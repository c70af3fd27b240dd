-- Schema and connection settings of the archive index, run on every open.
--
-- Object states (FileFlags), column objects.state:
--   1  new       new or changed since it was last confirmed: the next listing delivers it
--   2  archived  confirmed by an archiver and unchanged since
--   3  listed    delivered by the current listing, waiting for a confirmation
--   4  failed    listed but confirmed by no program: the retry listing delivers it
--   5  directory recorded and cached, never listed
--  +16 unknown   left by an interrupted scan of an older version: removed at the next cleanup
-- A running scan keeps the objects it has recorded in memory instead of marking every row, so
-- that an unchanged object costs a read and no write: it reads the rows in the order an earlier
-- scan wrote them, which is the order it walks an unchanged tree in.

-- The run works on a copy that is thrown away when the run fails, so durability is traded
-- for speed: no syncs. The rollback journal is a file (no WAL), so the index file is complete
-- after close, and the journal of a pass that rewrites many rows (the marking of a first listing)
-- lies in the file system's cache rather than in our memory. The file is held locked
-- from the first access to close, which spares a lock round trip and a cache check per
-- statement. The page cache is kept small: the scan visits the index in the order it wrote it,
-- so the file system's cache serves the pages well, and memory does not grow with the files.
PRAGMA journal_mode = DELETE;
PRAGMA synchronous = OFF;
PRAGMA locking_mode = EXCLUSIVE;
PRAGMA temp_store = MEMORY;
PRAGMA cache_size = -16384;

-- A database that already holds tables must be one of ours (application id 'VESK').
CREATE TEMP TABLE index_check (
    is_vesk_index INTEGER CONSTRAINT foreign_database_schema CHECK (is_vesk_index)
);
INSERT INTO temp.index_check
SELECT NOT EXISTS (SELECT 1 FROM main.sqlite_master)
       OR (SELECT application_id FROM pragma_application_id) = 1447383883;
DROP TABLE temp.index_check;
PRAGMA application_id = 1447383883;

CREATE TABLE IF NOT EXISTS runs (
    id INTEGER PRIMARY KEY,
    version TEXT NOT NULL,
    command_line TEXT NOT NULL,
    job_text TEXT NOT NULL
);

CREATE TABLE IF NOT EXISTS archives (
    id INTEGER PRIMARY KEY,
    run_id INTEGER NOT NULL,
    format_name TEXT NOT NULL
);

-- Names are stored as the bytes the scanner gives (normally UTF-8) and compared bytewise.
CREATE TABLE IF NOT EXISTS objects (
    id INTEGER PRIMARY KEY,
    parentid INTEGER NOT NULL,
    name TEXT NOT NULL,
    attributes INTEGER NOT NULL,
    size INTEGER NOT NULL,
    modified_time INTEGER NOT NULL,
    state INTEGER NOT NULL,
    checksum TEXT,
    archive INTEGER
);

CREATE UNIQUE INDEX IF NOT EXISTS objects_by_parent_name ON objects (parentid, name);
-- No index on the state: the statements that select by state run a few times per run and either
-- pass over the table once or, when a scan left few files to list, visit those rows by id; an
-- index on the state would have to follow every change of state of every row.
-- Directories only, for building the directory paths.
CREATE INDEX IF NOT EXISTS directories_by_parent ON objects (parentid) WHERE attributes & 1 = 1;

-- The directory name of each run (its run layout name), so that a restore finds the archives of
-- a run. A table of its own rather than a column of runs: indexes written before runs had
-- names open unchanged, and their runs simply have no row here.
CREATE TABLE IF NOT EXISTS run_directories (
    run_id INTEGER PRIMARY KEY,
    name TEXT NOT NULL
);

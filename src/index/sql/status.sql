-- The id, state and size of every object, for the status lines and the cleanup after them. The
-- index adds them up per status label itself (Unknown for objects the scan did not record and
-- for state & 16, New 1, Archived 2, Listed 3, Failed 4, Directory 5, Invalid otherwise) in one
-- pass: SQL grouping would sort every object first, in memory.
SELECT id, state, size FROM objects;

-- The number of recorded runs.
SELECT count(*) FROM runs;

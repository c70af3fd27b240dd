-- Scan start: the number of objects, all of them unknown until the scan records them again. The
-- index keeps which it recorded in memory, so that an unchanged object is never written.
SELECT count(*) FROM objects;

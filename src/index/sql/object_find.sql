-- The row id of an object (parentid, name), if it has a row.
SELECT id FROM objects WHERE parentid = ?1 AND name = ?2;

-- An object's id (parentid, name), from the index alone.
SELECT id FROM objects WHERE parentid = ?1 AND name = ?2;

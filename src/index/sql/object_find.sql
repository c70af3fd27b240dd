-- An object's row, if it has one (parentid, name): id, attributes, size, modified_time, state.
SELECT id, attributes, size, modified_time, state FROM objects WHERE parentid = ?1 AND name = ?2;

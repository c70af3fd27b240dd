-- The objects an earlier scan recorded, from a row id on (first id, last id): id, parentid, name,
-- attributes, size, modified_time, state. A scan records objects in the order it walks them, so
-- a rescan of the same tree meets them in this order and reads them one after another instead of
-- looking each one up.
SELECT id, parentid, name, attributes, size, modified_time, state
FROM objects
WHERE id BETWEEN ?1 AND ?2
ORDER BY id;

-- One file of the listing (id), when it is marked as listing.sql selects it: parentid, name,
-- attributes, size, modified_time.
SELECT parentid, name, attributes, size, modified_time
FROM objects
WHERE id = ?1 AND state IN (3, 4);

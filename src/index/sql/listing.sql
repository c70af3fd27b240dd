-- The files to put in the list files (parentid, name, attributes, size, modified_time, id):
-- those marked for this listing, or, after the failure marking, those that failed, in row order.
SELECT parentid, name, attributes, size, modified_time, id
FROM objects
WHERE state IN (3, 4)
ORDER BY id;

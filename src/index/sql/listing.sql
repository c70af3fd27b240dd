-- The files to put in the list files (parentid, name, attributes, size, modified_time): those
-- marked for this listing, or, after the failure marking, those that failed.
SELECT parentid, name, attributes, size, modified_time
FROM objects
WHERE state IN (3, 4);

-- Records one scanned object (parentid, name, attributes, size, modified_time).
-- Writes exactly one row and leaves the last inserted row id at it, also when the object
-- already had a row: that row is replaced under its own id, so children keep their parent,
-- and its state, checksum and archive are carried over. A file whose kind, size or
-- modification time changed becomes new.
INSERT OR REPLACE INTO objects
    (id, parentid, name, attributes, size, modified_time, state, checksum, archive)
SELECT old.id, ?1, ?2, ?3, ?4, ?5,
       CASE
           WHEN ?3 & 1 = 1 THEN 5
           WHEN old.id IS NULL OR old.attributes & 1 = 1 OR old.size <> ?4
               OR old.modified_time <> ?5 THEN 1
           WHEN old.state & 15 BETWEEN 1 AND 4 THEN old.state & 15
           ELSE 1
       END,
       old.checksum, old.archive
FROM (SELECT 1) LEFT JOIN objects AS old ON old.parentid = ?1 AND old.name = ?2;

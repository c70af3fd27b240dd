-- The same for the file the listing delivered as row ?5: changes it only when it is the reported
-- file, so that a report in the listing's order costs no lookup by name.
UPDATE objects SET state = 2, checksum = ?3, archive = ?4
WHERE id = ?5 AND parentid = ?1 AND name = ?2 AND attributes & 1 = 0;

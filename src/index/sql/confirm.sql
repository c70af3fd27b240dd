-- An archiver or verifier reported a file (directory id, name, checksum, archive id).
UPDATE objects SET state = 2, checksum = ?3, archive = ?4
WHERE parentid = ?1 AND name = ?2 AND attributes & 1 = 0;

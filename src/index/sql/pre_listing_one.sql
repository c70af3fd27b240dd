-- Marks one file for the listing (id) when it is new, changed or failed; see pre_listing.sql.
UPDATE objects SET state = 3 WHERE id = ?1 AND state IN (1, 4);

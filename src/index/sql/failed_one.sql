-- One listed file (id) that no program confirmed; see failed.sql.
UPDATE objects SET state = 4 WHERE id = ?1 AND state = 3;

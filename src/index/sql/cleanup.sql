-- Removes one object the scan did not record again (id): vanished or now excluded, or below a
-- vanished directory (those were not recorded either).
DELETE FROM objects WHERE id = ?1;

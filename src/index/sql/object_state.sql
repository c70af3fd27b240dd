-- The state and size of one object (id), for the status lines of objects a scan did not record.
SELECT state, size FROM objects WHERE id = ?1;

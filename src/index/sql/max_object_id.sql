-- The highest object row id (0 for an empty index). Rows recorded later get higher ids.
SELECT coalesce(max(id), 0) FROM objects;

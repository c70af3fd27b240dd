-- Removes the objects the scan did not record again: vanished or now excluded, together with
-- everything below a vanished directory (those were not recorded either). One pass over the
-- table, like the marking at the scan's start.
DELETE FROM objects WHERE state >= 16;

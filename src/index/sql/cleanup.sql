-- Removes the objects the scan did not record again: vanished or now excluded, together with
-- everything below a vanished directory (those were not recorded either).
DELETE FROM objects WHERE state >= 16;

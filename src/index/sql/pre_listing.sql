-- Marks the files the listing will deliver: new, changed and failed ones.
UPDATE objects SET state = 3 WHERE state IN (1, 4);

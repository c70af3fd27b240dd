-- Listed files that no program confirmed.
UPDATE objects SET state = 4 WHERE state = 3;

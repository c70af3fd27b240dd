-- Makes archived files whose confirming archive is not from one of the newest ?1 runs new
-- again (?1 <= 0: every archived file). The unknown bit of a running scan is kept.
UPDATE objects SET state = (state & 16) | 1
WHERE state & 15 = 2
  AND (?1 <= 0
       OR archive IS NULL
       OR archive NOT IN (SELECT id FROM archives
                          WHERE run_id IN (SELECT id FROM runs ORDER BY id DESC LIMIT ?1)));

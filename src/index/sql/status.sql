-- Objects grouped by state: label, count, bytes.
SELECT CASE
           WHEN state & 16 = 16 THEN 'Unknown'
           WHEN state = 1 THEN 'New'
           WHEN state = 2 THEN 'Archived'
           WHEN state = 3 THEN 'Listed'
           WHEN state = 4 THEN 'Failed'
           WHEN state = 5 THEN 'Directory'
           ELSE 'Invalid'
       END AS status,
       count(*) AS count,
       coalesce(sum(size), 0) AS bytes
FROM objects
GROUP BY status
ORDER BY min(state);

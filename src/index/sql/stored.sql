-- Every object with its newest confirmed copy: (parentid, name, attributes, size, modified_time,
-- condition, archive id, run id, format name, run directory name). The condition is
--   directory             a directory
--   stored                confirmed and unchanged since
--   failed                listed, but no program confirmed it (an older copy may exist)
--   changed since stored  changed after its last confirmation, not listed yet
--   never stored          no program ever confirmed it
-- A missing archive, run or run name reads as 0 or the empty text.
SELECT o.parentid, o.name, o.attributes, o.size, o.modified_time,
       CASE
           WHEN o.attributes & 1 = 1 THEN 'directory'
           WHEN o.state & 15 = 2 THEN 'stored'
           WHEN o.state & 15 = 4 THEN 'failed'
           WHEN o.archive IS NOT NULL THEN 'changed since stored'
           ELSE 'never stored'
       END,
       coalesce(o.archive, 0), coalesce(a.run_id, 0), coalesce(a.format_name, ''),
       coalesce(d.name, '')
FROM objects AS o
LEFT JOIN archives AS a ON a.id = o.archive
LEFT JOIN run_directories AS d ON d.run_id = a.run_id;

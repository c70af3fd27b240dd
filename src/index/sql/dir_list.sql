-- Every directory reachable from the source root with its relative path (fileid, dir_path).
WITH RECURSIVE directories (fileid, dir_path) AS (
    SELECT id, name FROM objects WHERE parentid = 0 AND attributes & 1 = 1
    UNION ALL
    SELECT child.id, parent.dir_path || '/' || child.name
    FROM directories AS parent
    JOIN objects AS child ON child.parentid = parent.fileid AND child.attributes & 1 = 1
)
SELECT fileid, dir_path FROM directories;

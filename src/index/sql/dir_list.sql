-- Every directory reachable from the source root (fileid, parentid, name), each after its parent.
-- Paths are put together by the reader, so a deep tree does not build every prefix of its paths.
WITH RECURSIVE directories (fileid, parentid, name) AS (
    SELECT id, parentid, name FROM objects WHERE parentid = 0 AND attributes & 1 = 1
    UNION ALL
    SELECT child.id, child.parentid, child.name
    FROM directories AS parent
    JOIN objects AS child ON child.parentid = parent.fileid AND child.attributes & 1 = 1
)
SELECT fileid, parentid, name FROM directories;

-- Records a new object (parentid, name, attributes, size, modified_time). An object that has a
-- row already is left alone (no row changes) and the scan updates that row instead.
INSERT OR IGNORE INTO objects (parentid, name, attributes, size, modified_time, state)
VALUES (?1, ?2, ?3, ?4, ?5, CASE WHEN ?3 & 1 = 1 THEN 5 ELSE 1 END);

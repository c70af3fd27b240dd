-- Records a new object (parentid, name, attributes, size, modified_time); the scan looks an
-- object up first and updates it when it already has a row.
INSERT INTO objects (parentid, name, attributes, size, modified_time, state)
VALUES (?1, ?2, ?3, ?4, ?5, CASE WHEN ?3 & 1 = 1 THEN 5 ELSE 1 END);

-- Records an object that already has a row (id, attributes, size, modified_time). Its id stays,
-- so children keep their parent; checksum and archive stay. A file whose kind, size or
-- modification time changed becomes new; an unchanged file keeps its state without the
-- unknown mark.
UPDATE objects
SET attributes = ?2, size = ?3, modified_time = ?4,
    state = CASE
                WHEN ?2 & 1 = 1 THEN 5
                WHEN attributes & 1 = 1 OR size <> ?3 OR modified_time <> ?4 THEN 1
                WHEN state & 15 BETWEEN 1 AND 4 THEN state & 15
                ELSE 1
            END
WHERE id = ?1;

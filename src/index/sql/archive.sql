-- Records the archive that one format produces in a run.
INSERT INTO archives (run_id, format_name) VALUES (?1, ?2);

-- Records the directory name of a run (run id, name).
INSERT OR REPLACE INTO run_directories (run_id, name) VALUES (?1, ?2);

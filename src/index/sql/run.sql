-- Records one run: version text, command line, job text.
INSERT INTO runs (version, command_line, job_text) VALUES (?1, ?2, ?3);

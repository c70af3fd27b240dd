-- Scan start: every object is unknown until the scan records it again.
UPDATE objects SET state = state | 16;

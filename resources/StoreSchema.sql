-- The settings store: one row per key path, one per value under it, as the registry holds
-- them (type 1 text, 3 bytes, 4 a 32-bit number). Run by the program before each write and
-- by scripts that seed a store, so it must stay safe to run again.
CREATE TABLE IF NOT EXISTS key (
  path TEXT PRIMARY KEY NOT NULL COLLATE NOCASE
);
CREATE TABLE IF NOT EXISTS value (
  key  TEXT NOT NULL COLLATE NOCASE REFERENCES key(path),
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY (key, name)
);
INSERT OR IGNORE INTO key (path) VALUES ('Software'), ('Software\Veltrane'), ('Software\Veltrane\Postbell');

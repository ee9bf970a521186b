INSERT INTO "authors" ("id", "name", "born") VALUES (2, 'Alan', 1912), (3, 'Grace', 1906);

INSERT INTO "authors" ("id", "name", "nickname", "born") VALUES (2, 'Alan', NULL, 1912), (3, 'Grace', 'Amazing', 1906);

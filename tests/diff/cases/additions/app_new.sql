INSERT INTO "authors" ("id", "name", "bio") VALUES (100, 'Grace', NULL), (101, 'Edsger', NULL);

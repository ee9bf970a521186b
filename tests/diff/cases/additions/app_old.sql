INSERT INTO "authors" ("id", "name") VALUES (100, 'Grace'), (101, 'Edsger');

INSERT INTO "authors" ("id", "name") VALUES (2, 'Alan');

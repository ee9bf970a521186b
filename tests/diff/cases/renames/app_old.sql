INSERT INTO "writers" ("id", "name") VALUES (2, 'Alan'); INSERT INTO "books" ("id", "writer_id", "title") VALUES (2, 2, 'Machines');

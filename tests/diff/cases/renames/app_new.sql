INSERT INTO "authors" ("id", "full_name") VALUES (2, 'Alan'); INSERT INTO "books" ("id", "author_id", "title") VALUES (2, 2, 'Machines');

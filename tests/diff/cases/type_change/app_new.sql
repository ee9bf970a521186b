INSERT INTO "items" ("id", "code", "amount") VALUES (2, 'B-2', 7);

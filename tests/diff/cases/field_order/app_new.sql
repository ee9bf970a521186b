INSERT INTO "people" ("id", "last", "first") VALUES (2, 'Meitner', 'Lise'); INSERT INTO "pets" ("id", "owner") VALUES (1, 2);

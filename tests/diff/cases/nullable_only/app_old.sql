INSERT INTO "people" ("id", "name", "city") VALUES (2, 'Pierre', 'Warsaw');

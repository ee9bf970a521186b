INSERT INTO "codes" ("id", "code", "label") VALUES (2, 'b', 'B');

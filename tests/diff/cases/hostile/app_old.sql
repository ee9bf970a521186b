INSERT INTO "we""ird `t` ;x" ("id", "a b'c") VALUES (10, 'o''clock \ $$');

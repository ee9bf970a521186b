INSERT INTO "we""ird `t` ;x" ("id", "d;e ""f""", "new`") VALUES (10, 'o''clock \ $$', NULL);

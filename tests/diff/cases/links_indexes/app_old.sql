INSERT INTO "users" ("id", "group_id", "manager_id", "login") VALUES (2, 2, 1, 'alice'), (3, 2, 2, 'bob');

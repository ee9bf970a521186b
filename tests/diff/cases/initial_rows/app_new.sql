INSERT INTO "colours" ("code", "label", "rank") VALUES ('pink', 'Pink', 9);

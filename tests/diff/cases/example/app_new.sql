INSERT INTO "addresses" ("id", "customer_id", "line1", "line2", "city", "postcode", "country") VALUES
(1, 1, '12 St James''s Square', NULL, 'London', 'SW1Y 4JH', 'GB');
INSERT INTO "orders" ("id", "customer_id", "placed", "status", "note") VALUES (1000, 2, '2026-03-01 12:00:00', 'new', NULL);

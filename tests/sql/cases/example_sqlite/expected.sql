-- sequence "customers_id_seq" left out: SQLite has none
-- sequence "orders_id_seq" left out: SQLite has none
-- function "order_total" left out: SQLite cannot run PL/SQL
-- function "place_order" left out: SQLite cannot run PL/SQL
-- function "customers_in_city" left out: SQLite cannot run PL/SQL
PRAGMA foreign_keys = ON;
BEGIN;
PRAGMA defer_foreign_keys = ON;
CREATE TABLE "categories" (
    "id" INTEGER NOT NULL,
    "parent_id" INTEGER,
    "name" VARCHAR(128) NOT NULL,
    CONSTRAINT "categories_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "categories_parent_id_fkey" FOREIGN KEY ("parent_id") REFERENCES "categories" ("id")
);
CREATE TABLE "suppliers" (
    "id" INTEGER NOT NULL,
    "name" VARCHAR(128) NOT NULL,
    "email" VARCHAR(254),
    CONSTRAINT "suppliers_pkey" PRIMARY KEY ("id")
);
CREATE TABLE "products" (
    "id" INTEGER NOT NULL,
    "sku" VARCHAR(16) NOT NULL,
    "name" VARCHAR(128) NOT NULL,
    "description" TEXT,
    "category_id" INTEGER NOT NULL,
    "supplier_id" INTEGER,
    CONSTRAINT "products_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "products_category_id_fkey" FOREIGN KEY ("category_id") REFERENCES "categories" ("id"),
    CONSTRAINT "products_supplier_id_fkey" FOREIGN KEY ("supplier_id") REFERENCES "suppliers" ("id")
);
CREATE TABLE "prices" (
    "id" INTEGER NOT NULL,
    "product_id" INTEGER NOT NULL,
    "amount" NUMERIC(12,2) NOT NULL,
    "currency" VARCHAR(16) NOT NULL,
    "valid_from" TIMESTAMP NOT NULL,
    CONSTRAINT "prices_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "prices_product_id_fkey" FOREIGN KEY ("product_id") REFERENCES "products" ("id")
);
CREATE TABLE "stock" (
    "product_id" INTEGER NOT NULL,
    "quantity" INTEGER NOT NULL,
    "counted" TIMESTAMP NOT NULL,
    CONSTRAINT "stock_pkey" PRIMARY KEY ("product_id"),
    CONSTRAINT "stock_product_id_fkey" FOREIGN KEY ("product_id") REFERENCES "products" ("id")
);
CREATE TABLE "orders" (
    "id" INTEGER NOT NULL,
    "customer_id" INTEGER NOT NULL,
    "placed" TIMESTAMP NOT NULL,
    "status" VARCHAR(16) NOT NULL,
    "note" TEXT,
    CONSTRAINT "orders_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "orders_customer_id_fkey" FOREIGN KEY ("customer_id") REFERENCES "customers" ("id")
);
CREATE TABLE "order_lines" (
    "id" INTEGER NOT NULL,
    "order_id" INTEGER NOT NULL,
    "product_id" INTEGER NOT NULL,
    "quantity" INTEGER NOT NULL,
    "price" NUMERIC(12,2) NOT NULL,
    CONSTRAINT "order_lines_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "order_lines_order_id_fkey" FOREIGN KEY ("order_id") REFERENCES "orders" ("id"),
    CONSTRAINT "order_lines_product_id_fkey" FOREIGN KEY ("product_id") REFERENCES "products" ("id")
);
CREATE TABLE "payments" (
    "id" INTEGER NOT NULL,
    "order_id" INTEGER NOT NULL,
    "amount" NUMERIC(12,2) NOT NULL,
    "method" VARCHAR(16) NOT NULL,
    "paid" TIMESTAMP,
    CONSTRAINT "payments_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "payments_order_id_fkey" FOREIGN KEY ("order_id") REFERENCES "orders" ("id")
);
CREATE TABLE "reviews" (
    "id" INTEGER NOT NULL,
    "product_id" INTEGER NOT NULL,
    "customer_id" INTEGER NOT NULL,
    "stars" INTEGER NOT NULL,
    "comment" TEXT,
    CONSTRAINT "reviews_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "reviews_product_id_fkey" FOREIGN KEY ("product_id") REFERENCES "products" ("id"),
    CONSTRAINT "reviews_customer_id_fkey" FOREIGN KEY ("customer_id") REFERENCES "customers" ("id")
);
CREATE TABLE "customers" (
    "id" INTEGER NOT NULL,
    "email" VARCHAR(254) NOT NULL,
    "name" VARCHAR(128) NOT NULL,
    "company" VARCHAR(128),
    "newsletter" BOOLEAN NOT NULL,
    "created" TIMESTAMP NOT NULL,
    CONSTRAINT "customers_pkey" PRIMARY KEY ("id")
);
CREATE TABLE "addresses" (
    "id" INTEGER NOT NULL,
    "customer_id" INTEGER NOT NULL,
    "street" VARCHAR(128) NOT NULL,
    "city" VARCHAR(128) NOT NULL,
    "postcode" VARCHAR(16) NOT NULL,
    "country" VARCHAR(16) NOT NULL,
    CONSTRAINT "addresses_pkey" PRIMARY KEY ("id"),
    CONSTRAINT "addresses_customer_id_fkey" FOREIGN KEY ("customer_id") REFERENCES "customers" ("id")
);
CREATE INDEX "categories_parent_id_idx" ON "categories" ("parent_id");
CREATE INDEX "products_sku_idx" ON "products" ("sku");
CREATE INDEX "products_category_id_idx" ON "products" ("category_id");
CREATE INDEX "products_supplier_id_idx" ON "products" ("supplier_id");
CREATE INDEX "prices_product_id_idx" ON "prices" ("product_id");
CREATE INDEX "orders_customer_id_idx" ON "orders" ("customer_id");
CREATE INDEX "order_lines_order_id_idx" ON "order_lines" ("order_id");
CREATE INDEX "order_lines_product_id_idx" ON "order_lines" ("product_id");
CREATE INDEX "payments_order_id_idx" ON "payments" ("order_id");
CREATE INDEX "reviews_product_id_idx" ON "reviews" ("product_id");
CREATE INDEX "reviews_customer_id_idx" ON "reviews" ("customer_id");
CREATE INDEX "customers_email_idx" ON "customers" ("email");
CREATE INDEX "addresses_customer_id_idx" ON "addresses" ("customer_id");
CREATE VIEW "products_in_stock" AS
SELECT p.* FROM products p JOIN stock s ON s."product_id" = p."id" WHERE s.quantity > 0
;
CREATE VIEW "order_totals" AS
SELECT o.id, SUM(l.price * l.quantity) AS total FROM orders o JOIN order_lines l ON l."order_id" = o."id" GROUP BY o.id
;
CREATE VIEW "customer_cities" AS
SELECT c."name", a."city" FROM customers c JOIN addresses a ON a."customer_id" = c."id"
;
INSERT INTO "categories" ("id", "parent_id", "name") VALUES
('1', NULL, 'Books'),
('2', '1', 'Science fiction'),
('3', '1', 'Cookery'),
('4', NULL, 'Music'),
('5', '4', 'Jazz "standards"');
INSERT INTO "suppliers" ("id", "name", "email") VALUES
('1', 'Acme Books', 'orders@acme.example'),
('2', 'Vinyl & Co', NULL);
INSERT INTO "products" ("id", "sku", "name", "description", "category_id", "supplier_id") VALUES
('1', 'BOK-0001', 'The Left Hand of Darkness', 'A novel.', '2', '1'),
('2', 'MUS-0001', 'Kind of Blue', NULL, '5', '2');
INSERT INTO "prices" ("id", "product_id", "amount", "currency", "valid_from") VALUES
('1', '1', '12.50', 'EUR', '2026-01-01 00:00:00'),
('2', '2', '8.99', 'EUR', '2026-01-01 00:00:00');
INSERT INTO "customers" ("id", "email", "name", "company", "newsletter", "created") VALUES
('1', 'ada@example.com', 'Ada Lovelace', NULL, '1', '2026-01-05 09:00:00'),
('2', 'alan@example.com', 'Alan Turing', 'Bletchley "Park"', '0', '2026-02-11 14:30:00');
COMMIT;

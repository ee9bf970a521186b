-- function `order_total` left out: MariaDB cannot run PL/SQL
-- function `place_order` left out: MariaDB cannot run PL/SQL
-- function `customers_in_city` left out: MariaDB cannot run PL/SQL
SET NAMES utf8mb4;
SET SESSION sql_mode = 'ANSI_QUOTES,NO_BACKSLASH_ESCAPES,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION';
SET SESSION foreign_key_checks = 0;
CREATE SEQUENCE `customers_id_seq` MINVALUE 1 START WITH 1;
CREATE SEQUENCE `orders_id_seq` MINVALUE 1 START WITH 1000;
CREATE TABLE `categories` (
    `id` INTEGER NOT NULL,
    `parent_id` INTEGER,
    `name` VARCHAR(128) NOT NULL,
    PRIMARY KEY (`id`),
    INDEX `categories_parent_id_idx` (`parent_id`),
    CONSTRAINT `categories_parent_id_fkey` FOREIGN KEY (`parent_id`) REFERENCES `categories` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `suppliers` (
    `id` INTEGER NOT NULL,
    `name` VARCHAR(128) NOT NULL,
    `email` VARCHAR(254),
    PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `products` (
    `id` INTEGER NOT NULL,
    `sku` VARCHAR(16) NOT NULL,
    `name` VARCHAR(128) NOT NULL,
    `description` TEXT,
    `category_id` INTEGER NOT NULL,
    `supplier_id` INTEGER,
    PRIMARY KEY (`id`),
    INDEX `products_sku_idx` (`sku`),
    INDEX `products_category_id_idx` (`category_id`),
    CONSTRAINT `products_category_id_fkey` FOREIGN KEY (`category_id`) REFERENCES `categories` (`id`),
    INDEX `products_supplier_id_idx` (`supplier_id`),
    CONSTRAINT `products_supplier_id_fkey` FOREIGN KEY (`supplier_id`) REFERENCES `suppliers` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `prices` (
    `id` INTEGER NOT NULL,
    `product_id` INTEGER NOT NULL,
    `amount` NUMERIC(12,2) NOT NULL,
    `currency` VARCHAR(16) NOT NULL,
    `valid_from` TIMESTAMP NOT NULL,
    PRIMARY KEY (`id`),
    INDEX `prices_product_id_idx` (`product_id`),
    CONSTRAINT `prices_product_id_fkey` FOREIGN KEY (`product_id`) REFERENCES `products` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `stock` (
    `product_id` INTEGER NOT NULL,
    `quantity` INTEGER NOT NULL,
    `counted` TIMESTAMP NOT NULL,
    PRIMARY KEY (`product_id`),
    CONSTRAINT `stock_product_id_fkey` FOREIGN KEY (`product_id`) REFERENCES `products` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `orders` (
    `id` INTEGER NOT NULL,
    `customer_id` INTEGER NOT NULL,
    `placed` TIMESTAMP NOT NULL,
    `status` VARCHAR(16) NOT NULL,
    `note` TEXT,
    PRIMARY KEY (`id`),
    INDEX `orders_customer_id_idx` (`customer_id`),
    CONSTRAINT `orders_customer_id_fkey` FOREIGN KEY (`customer_id`) REFERENCES `customers` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `order_lines` (
    `id` INTEGER NOT NULL,
    `order_id` INTEGER NOT NULL,
    `product_id` INTEGER NOT NULL,
    `quantity` INTEGER NOT NULL,
    `price` NUMERIC(12,2) NOT NULL,
    PRIMARY KEY (`id`),
    INDEX `order_lines_order_id_idx` (`order_id`),
    CONSTRAINT `order_lines_order_id_fkey` FOREIGN KEY (`order_id`) REFERENCES `orders` (`id`),
    INDEX `order_lines_product_id_idx` (`product_id`),
    CONSTRAINT `order_lines_product_id_fkey` FOREIGN KEY (`product_id`) REFERENCES `products` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `payments` (
    `id` INTEGER NOT NULL,
    `order_id` INTEGER NOT NULL,
    `amount` NUMERIC(12,2) NOT NULL,
    `method` VARCHAR(16) NOT NULL,
    `paid` TIMESTAMP,
    PRIMARY KEY (`id`),
    INDEX `payments_order_id_idx` (`order_id`),
    CONSTRAINT `payments_order_id_fkey` FOREIGN KEY (`order_id`) REFERENCES `orders` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `reviews` (
    `id` INTEGER NOT NULL,
    `product_id` INTEGER NOT NULL,
    `customer_id` INTEGER NOT NULL,
    `stars` INTEGER NOT NULL,
    `comment` TEXT,
    PRIMARY KEY (`id`),
    INDEX `reviews_product_id_idx` (`product_id`),
    CONSTRAINT `reviews_product_id_fkey` FOREIGN KEY (`product_id`) REFERENCES `products` (`id`),
    INDEX `reviews_customer_id_idx` (`customer_id`),
    CONSTRAINT `reviews_customer_id_fkey` FOREIGN KEY (`customer_id`) REFERENCES `customers` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `customers` (
    `id` INTEGER NOT NULL,
    `email` VARCHAR(254) NOT NULL,
    `name` VARCHAR(128) NOT NULL,
    `company` VARCHAR(128),
    `newsletter` BOOLEAN NOT NULL,
    `created` TIMESTAMP NOT NULL,
    PRIMARY KEY (`id`),
    INDEX `customers_email_idx` (`email`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE TABLE `addresses` (
    `id` INTEGER NOT NULL,
    `customer_id` INTEGER NOT NULL,
    `street` VARCHAR(128) NOT NULL,
    `city` VARCHAR(128) NOT NULL,
    `postcode` VARCHAR(16) NOT NULL,
    `country` VARCHAR(16) NOT NULL,
    PRIMARY KEY (`id`),
    INDEX `addresses_customer_id_idx` (`customer_id`),
    CONSTRAINT `addresses_customer_id_fkey` FOREIGN KEY (`customer_id`) REFERENCES `customers` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_bin;
CREATE VIEW `products_in_stock` AS
SELECT p.* FROM products p JOIN stock s ON s."product_id" = p."id" WHERE s.quantity > 0
;
CREATE VIEW `order_totals` AS
SELECT o.id, SUM(l.price * l.quantity) AS total FROM orders o JOIN order_lines l ON l."order_id" = o."id" GROUP BY o.id
;
CREATE VIEW `customer_cities` AS
SELECT c."name", a."city" FROM customers c JOIN addresses a ON a."customer_id" = c."id"
;
START TRANSACTION;
INSERT INTO `categories` (`id`, `parent_id`, `name`) VALUES
('1', NULL, 'Books'),
('2', '1', 'Science fiction'),
('3', '1', 'Cookery'),
('4', NULL, 'Music'),
('5', '4', 'Jazz "standards"');
INSERT INTO `suppliers` (`id`, `name`, `email`) VALUES
('1', 'Acme Books', 'orders@acme.example'),
('2', 'Vinyl & Co', NULL);
INSERT INTO `products` (`id`, `sku`, `name`, `description`, `category_id`, `supplier_id`) VALUES
('1', 'BOK-0001', 'The Left Hand of Darkness', 'A novel.', '2', '1'),
('2', 'MUS-0001', 'Kind of Blue', NULL, '5', '2');
INSERT INTO `prices` (`id`, `product_id`, `amount`, `currency`, `valid_from`) VALUES
('1', '1', '12.50', 'EUR', '2026-01-01 00:00:00'),
('2', '2', '8.99', 'EUR', '2026-01-01 00:00:00');
INSERT INTO `customers` (`id`, `email`, `name`, `company`, `newsletter`, `created`) VALUES
('1', 'ada@example.com', 'Ada Lovelace', NULL, '1', '2026-01-05 09:00:00'),
('2', 'alan@example.com', 'Alan Turing', 'Bletchley "Park"', '0', '2026-02-11 14:30:00');
COMMIT;
SET SESSION foreign_key_checks = 1;

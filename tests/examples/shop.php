<?php
$this->plsql = array (
	"order_total" => array (
		"returns" => array (
			"type" => "NUMERIC(12,2)",
			"setof" => false
		),
		"args" => array (
			"p_order" => "INTEGER"
		),
		"locals" => array (
			"v_total" => "NUMERIC(12,2)"
		),
		"body" => "BEGIN
  SELECT SUM(price * quantity) INTO v_total FROM order_lines WHERE order_id = p_order;
  RETURN COALESCE(v_total, 0);
END;"
	),
	"place_order" => array (
		"returns" => array (
			"type" => "INTEGER",
			"setof" => false
		),
		"args" => array (
			"p_customer" => "INTEGER",
			"p_status" => "VARCHAR(16)"
		),
		"locals" => array (
			"v_id" => "INTEGER"
		),
		"body" => "BEGIN
  INSERT INTO orders (id, customer_id, placed, status)
    VALUES (nextval('orders_id_seq'), p_customer, now(), p_status)
    RETURNING id INTO v_id;
  RETURN v_id;
END;"
	),
	"customers_in_city" => array (
		"returns" => array (
			"type" => "INTEGER",
			"setof" => true
		),
		"args" => array (
			"p_city" => "VARCHAR(128)"
		),
		"locals" => array (
			"v_id" => "INTEGER"
		),
		"body" => "BEGIN
  FOR v_id IN SELECT customer_id FROM addresses WHERE city = p_city LOOP
    RETURN NEXT v_id;
  END LOOP;
  RETURN;
END;"
	)
);
$this->queries = array (
	"products_of_category" => array (
		"pieces" => array (
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id, name, sku FROM products WHERE category_id = "), 
			array ("type" => const_sql::DB_PIECE_PARAM, "value" => 1), 
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => " ORDER BY "), 
			array ("type" => const_sql::DB_PIECE_RAW, "value" => 2)
		),
		"fields" => array ("INTEGER", "VARCHAR(128)", "VARCHAR(16)")
	)
,
	"products_with_odd_sku" => array (
		"pieces" => array (
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id, sku FROM products WHERE sku !~ '^[A-Z]{3}-[0-9]{4}\$' LIMIT "), 
			array ("type" => const_sql::DB_PIECE_PARAM, "value" => 1)
		),
		"fields" => array ("INTEGER", "VARCHAR(16)")
	)
,
	"orders_of_customer" => array (
		"pieces" => array (
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id, placed, status FROM orders WHERE customer_id = "), 
			array ("type" => const_sql::DB_PIECE_PARAM, "value" => 1), 
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => " AND status IN ("), 
			array ("type" => const_sql::DB_PIECE_RAW, "value" => 2), 
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => ")")
		),
		"fields" => array ("INTEGER", "TIMESTAMP", "VARCHAR(16)")
	)
,
	"customer_by_email" => array (
		"pieces" => array (
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id, name FROM customers WHERE email = "), 
			array ("type" => const_sql::DB_PIECE_PARAM, "value" => 1)
		),
		"fields" => array ("INTEGER", "VARCHAR(128)")
	)
,
	"customers_sorted" => array (
		"pieces" => array (
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id FROM customers ORDER BY "), 
			array ("type" => const_sql::DB_PIECE_RAW, "value" => 1), 
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => " LIMIT "), 
			array ("type" => const_sql::DB_PIECE_PARAM, "value" => 2)
		),
		"fields" => array ("INTEGER")
	)

);
$this->sequences = array (
	"customers_id_seq" => 1,
	"orders_id_seq" => 1000
);
$this->tables = array (
	"categories" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
					array ("table" => "products", "direction" => const_sql::DB_LINK_INCOMING),
					array ("table" => "categories", "direction" => const_sql::DB_LINK_INCOMING)
				)
			),
			"parent_id" => array (
				"type" => "INTEGER",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "categories", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"name" => array (
				"type" => "VARCHAR(128)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("1", null, "Books"),
			array ("2", "1", "Science fiction"),
			array ("3", "1", "Cookery"),
			array ("4", null, "Music"),
			array ("5", "4", "Jazz \"standards\"")
		)
	),
	"suppliers" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
					array ("table" => "products", "direction" => const_sql::DB_LINK_INCOMING)
				)
			),
			"name" => array (
				"type" => "VARCHAR(128)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"email" => array (
				"type" => "VARCHAR(254)",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("1", "Acme Books", "orders@acme.example"),
			array ("2", "Vinyl & Co", null)
		)
	),
	"products" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
					array ("table" => "order_lines", "direction" => const_sql::DB_LINK_INCOMING),
					array ("table" => "stock", "direction" => const_sql::DB_LINK_INCOMING),
					array ("table" => "reviews", "direction" => const_sql::DB_LINK_INCOMING),
					array ("table" => "prices", "direction" => const_sql::DB_LINK_INCOMING)
				)
			),
			"sku" => array (
				"type" => "VARCHAR(16)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
				)
			),
			"name" => array (
				"type" => "VARCHAR(128)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"description" => array (
				"type" => "TEXT",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"category_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "categories", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"supplier_id" => array (
				"type" => "INTEGER",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "suppliers", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			)
		),
		"init" => array (
			array ("1", "BOK-0001", "The Left Hand of Darkness", "A novel.", "2", "1"),
			array ("2", "MUS-0001", "Kind of Blue", null, "5", "2")
		)
	),
	"prices" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
				)
			),
			"product_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "products", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"amount" => array (
				"type" => "NUMERIC(12,2)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"currency" => array (
				"type" => "VARCHAR(16)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"valid_from" => array (
				"type" => "TIMESTAMP",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("1", "1", "12.50", "EUR", "2026-01-01 00:00:00"),
			array ("2", "2", "8.99", "EUR", "2026-01-01 00:00:00")
		)
	),
	"stock" => array (
		"volatile" => true,
		"primary" => "product_id",
		"fields" => array (
			"product_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
					array ("table" => "products", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"quantity" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"counted" => array (
				"type" => "TIMESTAMP",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
		)
	),
	"orders" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
					array ("table" => "order_lines", "direction" => const_sql::DB_LINK_INCOMING),
					array ("table" => "payments", "direction" => const_sql::DB_LINK_INCOMING)
				)
			),
			"customer_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "customers", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"placed" => array (
				"type" => "TIMESTAMP",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"status" => array (
				"type" => "VARCHAR(16)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"note" => array (
				"type" => "TEXT",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
		)
	),
	"order_lines" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
				)
			),
			"order_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "orders", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"product_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "products", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"quantity" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"price" => array (
				"type" => "NUMERIC(12,2)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
		)
	),
	"payments" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
				)
			),
			"order_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "orders", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"amount" => array (
				"type" => "NUMERIC(12,2)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"method" => array (
				"type" => "VARCHAR(16)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"paid" => array (
				"type" => "TIMESTAMP",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
		)
	),
	"reviews" => array (
		"volatile" => true,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
				)
			),
			"product_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "products", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"customer_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "customers", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"stars" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"comment" => array (
				"type" => "TEXT",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
		)
	),
	"customers" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
					array ("table" => "orders", "direction" => const_sql::DB_LINK_INCOMING),
					array ("table" => "addresses", "direction" => const_sql::DB_LINK_INCOMING),
					array ("table" => "reviews", "direction" => const_sql::DB_LINK_INCOMING)
				)
			),
			"email" => array (
				"type" => "VARCHAR(254)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
				)
			),
			"name" => array (
				"type" => "VARCHAR(128)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"company" => array (
				"type" => "VARCHAR(128)",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"newsletter" => array (
				"type" => "BOOLEAN",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"created" => array (
				"type" => "TIMESTAMP",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("1", "ada@example.com", "Ada Lovelace", null, "1", "2026-01-05 09:00:00"),
			array ("2", "alan@example.com", "Alan Turing", "Bletchley \"Park\"", "0", "2026-02-11 14:30:00")
		)
	),
	"addresses" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
				)
			),
			"customer_id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "customers", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			),
			"street" => array (
				"type" => "VARCHAR(128)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"city" => array (
				"type" => "VARCHAR(128)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"postcode" => array (
				"type" => "VARCHAR(16)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			),
			"country" => array (
				"type" => "VARCHAR(16)",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
		)
	)
);
$this->views = array (
	"products_in_stock" => "SELECT p.* FROM products p JOIN stock s ON s.\"product_id\" = p.\"id\" WHERE s.quantity > 0",
	"order_totals" => "SELECT o.id, SUM(l.price * l.quantity) AS total FROM orders o JOIN order_lines l ON l.\"order_id\" = o.\"id\" GROUP BY o.id",
	"customer_cities" => "SELECT c.\"name\", a.\"city\" FROM customers c JOIN addresses a ON a.\"customer_id\" = c.\"id\""
);
?>

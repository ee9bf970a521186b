<?php
$this->plsql = array (
	"user_name" => array (
		"returns" => array (
			"type" => "varchar(64)",
			"setof" => false
		),
		"args" => array (
			"p_id" => "integer"
		),
		"locals" => array (
			"v_name" => "varchar(64)"
		),
		"body" => "BEGIN
  SELECT name INTO v_name FROM users WHERE id = \$1;
  RETURN v_name;
END;"
	)
);
$this->queries = array (
	"user_by_id" => array (
		"pieces" => array (
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id, name FROM users WHERE id = "), 
			array ("type" => const_sql::DB_PIECE_PARAM, "value" => 1), 
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => " ORDER BY "), 
			array ("type" => const_sql::DB_PIECE_RAW, "value" => 2)
		),
		"fields" => array ("integer", "varchar(64)")
	)
,
	"all_orders" => array (
		"pieces" => array (
			array ("type" => const_sql::DB_PIECE_TEXT, "value" => "SELECT id FROM orders")
		),
		"fields" => array ("integer")
	)

);
$this->sequences = array (
	"users_id_seq" => 1,
	"orders_id_seq" => 1000
);
$this->tables = array (
	"users" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "integer",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
					array ("table" => "orders", "direction" => const_sql::DB_LINK_INCOMING)
				)
			),
			"name" => array (
				"type" => "varchar(64)",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("1", "admin"),
			array ("2", null)
		)
	),
	"orders" => array (
		"volatile" => true,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "integer",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
				)
			),
			"user_id" => array (
				"type" => "integer",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_INDEX,
				"links" => array (
					array ("table" => "users", "direction" => const_sql::DB_LINK_OUTGOING)
				)
			)
		),
		"init" => array (
		)
	)
);
$this->views = array (
	"named_users" => "SELECT * FROM users WHERE name IS NOT NULL"
);
?>

<?php
$this->plsql = array (
);
$this->queries = array (
);
$this->sequences = array (
);
$this->tables = array (
	"constant_rows" => array (
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
			"note" => array (
				"type" => "TEXT",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("1", "code-1"),
			array ("2", null),
			array ("3", "\"\$x\"")
		)
	),
	"computed_rows" => array (
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
			"note" => array (
				"type" => "TEXT",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("1", "code-1"),
			array ("2", null),
			array ("3", "\"\$x\"")
		)
	),
	"empty_row_list" => array (
		"volatile" => false,
		"primary" => "id",
		"fields" => array (
			"id" => array (
				"type" => "INTEGER",
				"nullable" => false,
				"optimize" => const_sql::DB_OPTIMIZE_PRIMARY,
				"links" => array (
				)
			)
		),
		"init" => array (
		)
	)
);
$this->views = array (
);
?>

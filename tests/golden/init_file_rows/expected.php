<?php
$this->plsql = array (
);
$this->queries = array (
);
$this->sequences = array (
);
$this->tables = array (
	"people" => array (
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
			"name" => array (
				"type" => "TEXT",
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
			array ("1", "admin", "Administrator"),
			array ("2", "guest", null),
			array ("3", "o'brien", "first line
second line")
		)
	)
);
$this->views = array (
);
?>

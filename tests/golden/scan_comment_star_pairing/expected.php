<?php
$this->plsql = array (
);
$this->queries = array (
);
$this->sequences = array (
);
$this->tables = array (
	"t" => array (
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

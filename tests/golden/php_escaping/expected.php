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
			),
			"v" => array (
				"type" => "TEXT",
				"nullable" => true,
				"optimize" => const_sql::DB_OPTIMIZE_NONE,
				"links" => array (
				)
			)
		),
		"init" => array (
			array ("\"\$\\", "{\$a}
?>")
		)
	)
);
$this->views = array (
	"quoted" => "SELECT \"name\" FROM t WHERE a = '\$1' AND b = '\\' AND c = '{\$x}' -- ?>
second line"
);
?>

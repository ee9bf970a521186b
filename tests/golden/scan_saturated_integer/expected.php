<?php
$this->plsql = array (
);
$this->queries = array (
);
$this->sequences = array (
	"big" => 2147483647,
	"lead" => 12
);
$this->tables = array (
);
$this->views = array (
);
?>

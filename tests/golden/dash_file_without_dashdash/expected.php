<?php
$this->plsql = array (
);
$this->queries = array (
);
$this->sequences = array (
	"s" => 1
);
$this->tables = array (
);
$this->views = array (
);
?>

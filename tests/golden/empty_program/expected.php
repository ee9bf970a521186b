<?php
$this->plsql = array (
);
$this->queries = array (
);
$this->sequences = array (
);
$this->tables = array (
);
$this->views = array (
);
?>

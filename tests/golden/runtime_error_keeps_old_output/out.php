old contents

// Handlers that move whole trees between partitions and the host: get -r,
// put -r, export and import (cmd_tree.cpp).
#pragma once

// get and put: with -r the tree forms, otherwise the single-file handlers.
int cmd_get_or_tree(int argc, char** argv);
int cmd_put_or_tree(int argc, char** argv);
int cmd_export(int argc, char** argv);
int cmd_import(int argc, char** argv);

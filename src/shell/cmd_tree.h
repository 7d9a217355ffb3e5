// Handlers that move whole trees between partitions and the host: get -r,
// put -r, export and import (cmd_tree.cpp).
#pragma once

// get and put: with -r the tree forms, otherwise the single-file handlers.
int cmd_get_or_tree(int argc, char** argv);
int cmd_put_or_tree(int argc, char** argv);
int cmd_export(int argc, char** argv);
int cmd_import(int argc, char** argv);

struct fs_ops;
// Stores the host directory `dir` into `fs` (a new, empty file system of
// `ops`, which this call releases) as put -r would, host owners kept (or all
// 0:0), and writes the rebuilt image to `image`. 0, or CMD_FAILED with every
// reason said; `who` names the command in messages.
int build_image_from_host(const fs_ops* ops, void* fs, const char* dir, const char* image, const char* who,
                          bool all_root);

// `romsmith mount`: an image's file systems as a read-write FUSE mount that
// saves the image when it is unmounted.
#ifndef ROMSMITH_MOUNT_RS_MOUNT_H
#define ROMSMITH_MOUNT_RS_MOUNT_H

// argv[0] is "mount"; the rest are the command's arguments. Returns the exit status.
int rs_mount_main(int argc, char** argv);

#endif

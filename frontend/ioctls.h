// Which ioctls reach the base directory. The daemon makes every host call
// with its own rights, so an ioctl passed on blindly would let a caller of
// the mount do, as the daemon (root, under allow_other), what it could not
// do on the base directory itself. The contract:
// - Never passed, whoever asks: those whose argument names a descriptor
//   (FICLONE, FICLONERANGE, FIDEDUPERANGE -- here it would be one of the
//   daemon's), and FS_IOC_FIEMAP asking for extents (the host would write
//   them past the area libfuse copied in); they answer EOPNOTSUPP, as a file
//   system that has no such thing does.
// - The daemon's own user and root: everything else passes.
// - Any other user: the queries of a file's flags, attributes, version,
//   block size and readable bytes pass; its flags, attributes and version
//   change only on a file that user owns, and never the immutable and
//   append-only flags, which need a privilege; everything else answers
//   EPERM.
#pragma once

// 0 when the ioctl may be made on fd with data; else the negated errno.
int ioctl_refused(unsigned int command, int fd, const void *data);

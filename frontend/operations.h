// The filesystem libfuse serves at the mount point.
#pragma once

#define FUSE_USE_VERSION 29
#include <fuse.h>

extern const fuse_operations fs_operations;

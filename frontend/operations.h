// The filesystem libfuse serves at the mount point.
#pragma once

#define FUSE_USE_VERSION 29
#include <fuse.h>

#include <string>

extern const fuse_operations fs_operations;

// -direct_io_regexp=PATTERN: files whose path below the base directory
// ("/db/wal") matches open with direct I/O, all others through the page
// cache, where shared mappings work. False for a pattern that does not
// compile, with why.
bool fs_direct_io_for(const char *pattern, std::string &why);

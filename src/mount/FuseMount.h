#pragma once
#include <string>

namespace salvex {

class TMountTree;

struct TFuseMountOptions {
  std::string MountPoint;
  std::string Source;  // shown as the mount's source in /proc/mounts
  bool Foreground = false;
};

// Whether this build can mount (it was built with libfuse3).
bool FuseAvailable();

// Serves `tree` read-only at the mount point until it is unmounted (fusermount3 -u) or the
// process gets SIGINT, SIGTERM or SIGHUP, then unmounts. Without Foreground it goes to the
// background once mounted, keeping stderr for the messages and progress of later work. False with the reason in `error` when it could not mount.
bool ServeMount(TMountTree& tree, const TFuseMountOptions& options, std::string& error);

}  // namespace salvex

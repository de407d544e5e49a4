#include "mount/FuseMount.h"

// Built in place of FuseMount.cpp where libfuse3 was not found.

namespace salvex {

bool FuseAvailable() { return false; }

bool ServeMount(TMountTree&, const TFuseMountOptions&, std::string& error) {
  error = "this salvex-cli was built without FUSE; install libfuse3-dev and build again";
  return false;
}

}  // namespace salvex

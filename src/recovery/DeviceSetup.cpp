#include "recovery/DeviceSetup.h"

namespace salvex {

void RegisterDevices(const std::vector<std::string>& images, TImageKind kind, bool systemDisks) {
  auto& registry = TDeviceRegistry::Instance();
  registry.Clear();
  for (const auto& image : images) registry.AddImage(image, kind);
  if (images.empty() || systemDisks) registry.AddSystemDisks();
}

}  // namespace salvex

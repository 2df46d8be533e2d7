#include <memory>
#include <utility>
#include <vector>

#include "plugin/ondrell20_provider.h"
#include "plugin/provider.h"

// Every call makes a new provider; the library keeps nothing.
extern "C" std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  std::shared_ptr<Provider> provider = std::make_shared<Ondrell20Provider>();
  providers.push_back(std::move(provider));
  return providers;
}

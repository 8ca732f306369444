// The resource registry.
#include "host/resources.h"

#include <algorithm>
#include <mutex>

namespace KivTrans2 {

namespace {

struct TResourceRegistry {
  std::mutex Lock;
  std::vector<TResource> Items;  // GUARDED_BY(Lock), grouped by module
};

TResourceRegistry& Registry() {
  // Never destroyed: a module may withdraw its resources while the process exits.
  static TResourceRegistry* R = new TResourceRegistry();
  return *R;
}

void EraseModuleLocked(std::vector<TResource>& Items, const std::string& Module) {
  Items.erase(std::remove_if(Items.begin(), Items.end(),
                             [&](const TResource& R) { return R.Module == Module; }),
              Items.end());
}

}  // namespace

void RegisterResources(const std::string& Module, std::vector<TResource> Resources) {
  for (TResource& R : Resources) R.Module = Module;
  TResourceRegistry& Reg = Registry();
  std::lock_guard<std::mutex> Lock(Reg.Lock);
  EraseModuleLocked(Reg.Items, Module);
  for (TResource& R : Resources) Reg.Items.push_back(std::move(R));
}

void UnRegisterResources(const std::string& Module) {
  TResourceRegistry& Reg = Registry();
  std::lock_guard<std::mutex> Lock(Reg.Lock);
  EraseModuleLocked(Reg.Items, Module);
}

std::optional<TResource> LookupResource(const std::string& Type, const std::string& Name) {
  TResourceRegistry& Reg = Registry();
  std::lock_guard<std::mutex> Lock(Reg.Lock);
  for (const TResource& R : Reg.Items)
    if (R.Type == Type && R.Name == Name) return R;
  return std::nullopt;
}

std::vector<TResource> ListResources() {
  TResourceRegistry& Reg = Registry();
  std::lock_guard<std::mutex> Lock(Reg.Lock);
  return Reg.Items;
}

}  // namespace KivTrans2

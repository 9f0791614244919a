#include "util/FFBaseComponent.h"

#include <algorithm>

TFFBaseComponent::TFFBaseComponent(TFFBaseComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->AddChild(this);
}

TFFBaseComponent::~TFFBaseComponent() {
  std::vector<TFFBaseComponent*> children;
  {
    std::lock_guard lock(FChildLock);
    children.swap(FChildren);
  }
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    (*it)->FOwner = nullptr;
    delete *it;
  }
  if (FOwner) FOwner->RemoveChild(this);
}

std::string TFFBaseComponent::LastErrMsg() const {
  std::lock_guard lock(FErrLock);
  return FLastErrMsg;
}

void TFFBaseComponent::SetLastErrMsg(std::string AMsg) {
  std::lock_guard lock(FErrLock);
  FLastErrMsg = std::move(AMsg);
}

void TFFBaseComponent::AddChild(TFFBaseComponent* AChild) {
  std::lock_guard lock(FChildLock);
  FChildren.push_back(AChild);
}

void TFFBaseComponent::RemoveChild(TFFBaseComponent* AChild) {
  std::lock_guard lock(FChildLock);
  FChildren.erase(std::remove(FChildren.begin(), FChildren.end(), AChild), FChildren.end());
}

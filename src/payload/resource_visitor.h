// Walks the named resources of one type and hands each usable one to a
// visitor. The walk knows only this interface; what a resource means is the
// visitor's business.
#pragma once

#include "common/win32.h"
#include "payload/resource_blob.h"

class ResourceVisitor {
 public:
  // name lives only for the call. True lets the walk go on; false ends it.
  virtual bool OnPayloadResource(const wchar_t* name, const ResourceBlob& blob) = 0;

 protected:
  ResourceVisitor() = default;
  ~ResourceVisitor() = default;
};

// Calls EnumResourceNamesW over the resources of type in module. The walk
// stops without visiting at the first resource that has an integer
// identifier, cannot be found, is empty, or cannot be loaded or locked.
// Returns EnumResourceNamesW's result: false also for an absent type or a
// walk that was ended early.
bool VisitResourcesOfType(ResourceVisitor& visitor, HMODULE module, const wchar_t* type);

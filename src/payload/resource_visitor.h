// What a walk over resources hands each usable resource to. The walk knows only
// this interface; what a resource means is the visitor's business.
#pragma once

#include "payload/resource_blob.h"

class ResourceVisitor {
 public:
  // name lives only for the call. True lets the walk go on; false ends it.
  virtual bool OnPayloadResource(const wchar_t* name, const ResourceBlob& blob) = 0;

 protected:
  ResourceVisitor() = default;
  ~ResourceVisitor() = default;
};

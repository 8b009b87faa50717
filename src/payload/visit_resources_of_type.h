// Walks the named resources of one type of an image and hands each usable one
// to a visitor.
#pragma once

#include "common/win32.h"
#include "payload/resource_visitor.h"

// Calls EnumResourceNamesW over the resources of type in module. The walk
// stops without visiting at the first resource that has an integer
// identifier, cannot be found, is empty, or cannot be loaded or locked.
// Returns EnumResourceNamesW's result: false also for an absent type or a
// walk that was ended early.
bool VisitResourcesOfType(ResourceVisitor& visitor, HMODULE module, const wchar_t* type);

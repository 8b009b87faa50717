// RegistryKey: the holder of one open registry key, null while nothing is
// open; closing it again does nothing. It is the project's one owner of HKEY.
#pragma once

#include "common/owner.h"

using RegistryKey = UniqueRegistryKey;

// include/tarvin/tarvin.h: everything a log target plug-in compiles against.
#pragma once

#include "tarvin/dynamic_object.h"  // IWYU pragma: export
#include "tarvin/host_api.h"        // IWYU pragma: export
#include "tarvin/log_target.h"      // IWYU pragma: export

#pragma once
#include "common/Error.h"  // the error values moved below the layers that fail

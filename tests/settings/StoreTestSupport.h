#pragma once
// Shared with tests/app, whose build finds it here.
#include "../../tools/support/StoreFromOutside.h"

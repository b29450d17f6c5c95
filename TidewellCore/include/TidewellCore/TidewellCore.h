#pragma once
// Umbrella header of the core library.

#include "TidewellCore/Branding.h"
#include "TidewellCore/ConfigJSON.h"
#include "TidewellCore/ConfigModel.h"
#include "TidewellCore/ConfigValidator.h"
#include "TidewellCore/TextUtilities.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellCore/UserDataFolder.h"

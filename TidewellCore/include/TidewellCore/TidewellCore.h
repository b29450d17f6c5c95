#pragma once
// Umbrella header of the core library.

#include "TidewellCore/Branding.h"
#include "TidewellCore/ConfigEditor.h"
#include "TidewellCore/ConfigJSON.h"
#include "TidewellCore/ConfigModel.h"
#include "TidewellCore/ConfigStore.h"
#include "TidewellCore/ConfigValidator.h"
#include "TidewellCore/FileManager.h"
#include "TidewellCore/TextUtilities.h"
#include "TidewellCore/TidewellConstants.h"
#include "TidewellCore/UserDataFolder.h"
#include "TidewellCore/RuntimeControlStore.h"
#include "TidewellCore/RuntimeRouteMap.h"
#include "TidewellCore/ServiceFiles.h"
#include "TidewellCore/SourceControlStore.h"
#include "TidewellCore/InventoryRecords.h"
#include "TidewellCore/RuntimeMeterStore.h"

// Resource ids of Quibrix.dll, shared by the resource script and the code. Each area keeps its
// own ids in its own header.
#pragma once

#include "autotag_ids.h"
#include "icons_ids.h"
#include "manage_tags_ids.h"
#include "startup_ids.h"

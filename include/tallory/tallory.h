// Tallory: audio conversion library. Including this header gives every export.
#ifndef TALLORY_TALLORY_H
#define TALLORY_TALLORY_H

#include "tallory/types.h"
#include "tallory/guids.h"
#include "tallory/conv.h"
#include "tallory/formats.h"
#include "tallory/convert.h"
#include "tallory/settings.h"
#include "tallory/library.h"
#include "tallory/ui_bridge.h"
#include "tallory/metadata.h"
#include "tallory/playlist.h"
#include "tallory/batch.h"
#include "tallory/codecs.h"
#include "tallory/playback.h"
#include "tallory/loudness.h"
#include "tallory/ref.h"
#include "tallory/iso_image.h"
#include "tallory/audio_burn.h"
#include "tallory/data_burn.h"
#include "tallory/cd.h"

#endif

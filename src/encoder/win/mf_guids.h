// The GUIDs behind the transform seam's keys and values.
#pragma once

#include "encoder/transform_api.h"
#include "encoder/win/mf_sdk.h"

namespace halvorine {

const GUID& media_type_key_guid(MfTypeKey key);
const GUID& media_type_value_guid(MfTypeGuid value);
const GUID& transform_key_guid(MfTransformKey key);
const GUID& codec_property_guid(MfCodecProperty property);

}  // namespace halvorine

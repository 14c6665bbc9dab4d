// A scripted stand-in for the OpenH264 library: records every call on the
// encoder instance in order, returns the codes a test sets, and writes the
// layers and NAL units a test describes.
#pragma once

#include <wels/codec_api.h>

#include <cstring>
#include <string>
#include <vector>

#include "encoder/openh264_library.h"

namespace halvorine::testing {

struct FakeLayer {
  std::vector<std::vector<unsigned char>> nals;
};

class FakeEncoder final : public ISVCEncoder {
 public:
  int EXTAPI Initialize(const SEncParamBase*) override {
    calls.push_back("Initialize");
    return 0;
  }
  int EXTAPI InitializeExt(const SEncParamExt* params) override {
    calls.push_back("InitializeExt");
    init_params.push_back(*params);
    return next_code(initialize_codes);
  }
  int EXTAPI GetDefaultParams(SEncParamExt* params) override {
    calls.push_back("GetDefaultParams");
    std::memset(params, 0, sizeof *params);
    // Recognisable defaults, to see which ones the encoder keeps.
    params->iComplexityMode = MEDIUM_COMPLEXITY;
    params->iSpatialLayerNum = 1;
    params->iTemporalLayerNum = 1;
    params->uiIntraPeriod = 77;
    params->iMaxQp = 51;
    params->bEnableDenoise = true;
    params->bEnableFrameSkip = true;
    params->iMultipleThreadIdc = 1;
    return 0;
  }
  int EXTAPI Uninitialize() override {
    calls.push_back("Uninitialize");
    return 0;
  }
  int EXTAPI EncodeFrame(const SSourcePicture* picture, SFrameBSInfo* info) override {
    calls.push_back("EncodeFrame");
    pictures.push_back(*picture);
    luma_at_encode.push_back(picture->pData[0][0]);
    const int code = next_code(encode_codes);
    if (code != 0) return code;
    // The library hands out its own buffers; a frame's NAL units lie back
    // to back in each layer's buffer.
    buffers.clear();
    lengths.clear();
    buffers.resize(layers.size());
    lengths.resize(layers.size());
    info->iLayerNum = static_cast<int>(layers.size());
    for (std::size_t l = 0; l < layers.size(); ++l) {
      for (const auto& nal : layers[l].nals) {
        buffers[l].insert(buffers[l].end(), nal.begin(), nal.end());
        lengths[l].push_back(static_cast<int>(nal.size()));
      }
      lengths[l].push_back(0);  // never a null array
      SLayerBSInfo& layer = info->sLayerInfo[l];
      layer.iNalCount = static_cast<int>(layers[l].nals.size());
      layer.pNalLengthInByte = lengths[l].data();
      layer.pBsBuf = buffers[l].data();
    }
    return 0;
  }
  int EXTAPI EncodeParameterSets(SFrameBSInfo*) override {
    calls.push_back("EncodeParameterSets");
    return 0;
  }
  int EXTAPI ForceIntraFrame(bool idr, int) override {
    calls.push_back(idr ? "ForceIntraFrame(true)" : "ForceIntraFrame(false)");
    return 0;
  }
  int EXTAPI SetOption(ENCODER_OPTION option, void* value) override {
    const int v = *static_cast<int*>(value);
    calls.push_back("SetOption(" + std::to_string(option) + "," + std::to_string(v) + ")");
    return next_code(set_option_codes);
  }
  int EXTAPI GetOption(ENCODER_OPTION, void*) override {
    calls.push_back("GetOption");
    return 0;
  }

  // Return codes for successive calls (0 once the list is used up).
  std::vector<int> initialize_codes;
  std::vector<int> encode_codes;
  std::vector<int> set_option_codes;
  std::vector<FakeLayer> layers;

  std::vector<std::string> calls;
  std::vector<SEncParamExt> init_params;
  std::vector<SSourcePicture> pictures;
  std::vector<unsigned char> luma_at_encode;

 private:
  static int next_code(std::vector<int>& codes) {
    if (codes.empty()) return 0;
    const int code = codes.front();
    codes.erase(codes.begin());
    return code;
  }

  std::vector<std::vector<unsigned char>> buffers;
  std::vector<std::vector<int>> lengths;
};

class FakeOpenH264 final : public OpenH264Library {
 public:
  int create_encoder(ISVCEncoder** encoder) override {
    ++created;
    if (create_code != 0) return create_code;
    *encoder = &instance;
    return 0;
  }
  void destroy_encoder(ISVCEncoder* encoder) override {
    if (encoder == &instance) ++destroyed;
  }

  int create_code = 0;
  int created = 0;
  int destroyed = 0;
  FakeEncoder instance;
};

}  // namespace halvorine::testing

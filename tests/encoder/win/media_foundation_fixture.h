// Shared set-up of the Media Foundation tests: COM and Media Foundation
// started for each test, and helpers that read attributes with the SDK's
// own GUIDs (independently of the backend's mapping).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "common/win/com_ptr.h"
#include "encoder/win/mf_sdk.h"
#include "encoder/win/test_transform.h"
// After mf_sdk.h: the CODECAPI_* names as the SDK declares them.
#include <codecapi.h>

namespace halvorine::testing {

inline constexpr std::u16string_view kTestTransformName = u"Halvorine test encoder";

class MediaFoundationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_LITE), S_OK);
  }
  void TearDown() override {
    MFShutdown();
    CoUninitialize();
  }
};

// The test transform registered for as long as this lives: in this process
// (MFTRegisterLocal), or as a driver registers a hardware encoder
// (MFTRegister with the hardware flag; its class served from this process),
// for the product's own enumeration to find.
class Registration {
 public:
  static constexpr GUID kClsid = {0x5d1c3a70, 0x9b1e, 0x4c55, {0x8f, 0x2a, 0x61, 0x0b, 0x7e, 0x43, 0x19, 0xd2}};

  Registration(TestTransformConfig config, std::shared_ptr<TransformRecord> record, bool as_driver = false)
      : factory_(make_test_transform_factory(config, std::move(record))) {
    MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
    MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
    std::wstring name(kTestTransformName.begin(), kTestTransformName.end());
    const GUID& category = MFT_CATEGORY_VIDEO_ENCODER;
    if (!as_driver) {
      result_ = MFTRegisterLocal(factory_.get(), category, name.c_str(), MFT_ENUM_FLAG_HARDWARE, 1, &input, 1, &output);
      return;
    }
    result_ = CoRegisterClassObject(kClsid, factory_.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    if (SUCCEEDED(result_)) {
      result_ = MFTRegister(kClsid, category, name.data(), MFT_ENUM_FLAG_HARDWARE, 1, &input, 1, &output, nullptr);
    }
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  ~Registration() { unregister(); }
  // Wine 8 crashes in MFTUnregisterLocal when the latest of several local
  // registrations goes first: tests with several end them in order.
  void unregister() {
    if (cookie_ != 0) {
      MFTUnregister(kClsid);
      CoRevokeClassObject(std::exchange(cookie_, 0));
      // Wine 8's MFTUnregister leaves the video encoder category's key,
      // empty, where the prefix had none; with it there every later
      // MFTEnumEx of the prefix leaks handles, which a later test process
      // would count as ours. RegDeleteKeyW removes only a key without
      // subkeys: a category with transforms in it (any real Windows) stays.
      RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                    L"Software\\Classes\\MediaFoundation\\Transforms\\Categories\\f79eac7d-e545-4387-bdee-d647d7bde42a");
    } else if (SUCCEEDED(result_)) {
      MFTUnregisterLocal(factory_.get());
    }
    result_ = E_FAIL;
  }
  bool ok() const { return SUCCEEDED(result_); }

 private:
  ComPtr<IClassFactory> factory_;
  DWORD cookie_ = 0;
  HRESULT result_ = E_FAIL;
};

inline GUID guid_of(IMFAttributes* attributes, const GUID& key) {
  GUID value = GUID_NULL;
  attributes->GetGUID(key, &value);
  return value;
}

inline std::uint32_t uint32_of(IMFAttributes* attributes, const GUID& key) {
  UINT32 value = 0xDEADBEEF;
  attributes->GetUINT32(key, &value);
  return value;
}

inline std::uint64_t uint64_of(IMFAttributes* attributes, const GUID& key) {
  UINT64 value = 0xDEADBEEF;
  attributes->GetUINT64(key, &value);
  return value;
}

}  // namespace halvorine::testing

// How the service is known to the service control manager.
#pragma once

namespace halvorine {

inline constexpr wchar_t kServiceName[] = L"HalvorineWorker";
inline constexpr wchar_t kServiceDisplayName[] = L"Halvorine worker";
inline constexpr wchar_t kServiceDescription[] =
    L"Keeps the Halvorine worker running as SYSTEM in the active console session and moves it when that "
    L"session changes.";
inline constexpr char kServiceLogFileName[] = "halvorine-service.log";

}  // namespace halvorine

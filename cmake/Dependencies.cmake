# Third-party code: Asio and {fmt} from Debian's packages (header-only on
# Windows), GoogleTest (system on Linux, built from /usr/src/googletest for
# Windows), OpenH264 (system on Linux, cross-built by scripts/setup for Windows).

find_package(Threads REQUIRED)

if(CMAKE_CROSSCOMPILING)
  # The host's /usr/include cannot go on the cross compiler's path (glibc
  # headers); expose just the header-only libraries through links.
  set(HALVORINE_HOST_HEADERS "${CMAKE_BINARY_DIR}/host-headers")
  file(MAKE_DIRECTORY "${HALVORINE_HOST_HEADERS}")
  foreach(entry asio asio.hpp fmt stb)
    if(NOT EXISTS "/usr/include/${entry}")
      message(FATAL_ERROR "/usr/include/${entry} is missing: run scripts/setup")
    endif()
    file(CREATE_LINK "/usr/include/${entry}" "${HALVORINE_HOST_HEADERS}/${entry}" SYMBOLIC)
  endforeach()

  add_library(halvorine_asio INTERFACE)
  target_include_directories(halvorine_asio SYSTEM INTERFACE "${HALVORINE_HOST_HEADERS}")
  target_compile_definitions(halvorine_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED
                                                      _WIN32_WINNT=0x0A00)
  target_link_libraries(halvorine_asio INTERFACE ws2_32 mswsock)

  add_library(halvorine_fmt INTERFACE)
  target_include_directories(halvorine_fmt SYSTEM INTERFACE "${HALVORINE_HOST_HEADERS}")
  target_compile_definitions(halvorine_fmt INTERFACE FMT_HEADER_ONLY)

  # stb's image writer (header-only), for the tools' PNG output.
  add_library(halvorine_stb INTERFACE)
  target_include_directories(halvorine_stb SYSTEM INTERFACE "${HALVORINE_HOST_HEADERS}")

  set(HALVORINE_OPENH264_WINDOWS_DIR "$ENV{HOME}/.cache/halvorine/openh264-mingw"
      CACHE PATH "OpenH264 cross-built for Windows by scripts/setup")
  add_library(halvorine_openh264 INTERFACE)
  if(EXISTS "${HALVORINE_OPENH264_WINDOWS_DIR}/lib/libopenh264.a")
    target_include_directories(halvorine_openh264 SYSTEM INTERFACE
                               "${HALVORINE_OPENH264_WINDOWS_DIR}/include")
    target_link_libraries(halvorine_openh264 INTERFACE
                          "${HALVORINE_OPENH264_WINDOWS_DIR}/lib/libopenh264.a")
    set(HALVORINE_HAVE_OPENH264 ON)
  else()
    message(WARNING "OpenH264 for Windows not found in ${HALVORINE_OPENH264_WINDOWS_DIR}: "
                    "run scripts/setup")
    set(HALVORINE_HAVE_OPENH264 OFF)
  endif()

  if(HALVORINE_BUILD_TESTS)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
    # googletest's own CMake defines the GTest:: aliases.
  endif()
else()
  find_path(HALVORINE_ASIO_INCLUDE asio.hpp REQUIRED)
  add_library(halvorine_asio INTERFACE)
  target_include_directories(halvorine_asio SYSTEM INTERFACE "${HALVORINE_ASIO_INCLUDE}")
  target_compile_definitions(halvorine_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
  target_link_libraries(halvorine_asio INTERFACE Threads::Threads)

  find_package(fmt REQUIRED)
  add_library(halvorine_fmt INTERFACE)
  target_link_libraries(halvorine_fmt INTERFACE fmt::fmt)

  find_path(HALVORINE_STB_INCLUDE stb/stb_image_write.h REQUIRED)
  add_library(halvorine_stb INTERFACE)
  target_include_directories(halvorine_stb SYSTEM INTERFACE "${HALVORINE_STB_INCLUDE}")

  find_package(PkgConfig REQUIRED)
  pkg_check_modules(OPENH264 REQUIRED IMPORTED_TARGET openh264)
  add_library(halvorine_openh264 INTERFACE)
  target_link_libraries(halvorine_openh264 INTERFACE PkgConfig::OPENH264)
  set(HALVORINE_HAVE_OPENH264 ON)

  find_package(X11 REQUIRED)

  # The client's live view: FFmpeg's H.264 decoder and its converter/scaler.
  pkg_check_modules(LIBAV REQUIRED IMPORTED_TARGET libavcodec libavutil libswscale)
  add_library(halvorine_libav INTERFACE)
  target_link_libraries(halvorine_libav INTERFACE PkgConfig::LIBAV)

  if(HALVORINE_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
  if(HALVORINE_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
  endif()
endif()

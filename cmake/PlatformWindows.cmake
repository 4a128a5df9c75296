# 64-bit Windows, cross-built with mingw-w64 (cmake/toolchain-mingw64.cmake): mbedtls, hidapi,
# nanopb and GoogleTest as scripts/windows/deps.sh built them into ORVO_WINDOWS_DEPS, whose
# include/ also links to the installed Debian headers of the header-only libraries.
if(NOT ORVO_WINDOWS_DEPS)
  message(FATAL_ERROR "ORVO_WINDOWS_DEPS names no directory: run scripts/build-windows.sh")
endif()

set(ORVO_PLATFORM windows)
set(ORVO_HID_PLATFORM_SOURCE transport/winhid/report_length.cpp)

# A DLL named as Windows names them, and programs that need no runtime DLLs of the compiler.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
add_link_options(-static)

find_path(ORVO_HEADER_ONLY_DIR NAMES p11-kit/pkcs11.h nlohmann/json.hpp REQUIRED)
add_library(orvo_pkcs11_headers INTERFACE)
target_include_directories(orvo_pkcs11_headers INTERFACE ${ORVO_HEADER_ONLY_DIR})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${ORVO_HEADER_ONLY_DIR})
# mbedtls's network layer is on Winsock 2.
target_link_libraries(orvo_mbedtls INTERFACE ws2_32)

# hidapi's Windows backend (it loads hid.dll and cfgmgr32.dll itself); the report length comes
# from hid.dll's capabilities. The backend's functions are marked for export and so are
# exported from the DLL.
find_library(HIDAPI_WINDOWS_STATIC libhidapi.a REQUIRED)
find_path(HIDAPI_INCLUDE_DIR hidapi/hidapi.h REQUIRED)
add_library(orvo_hidapi_shipped INTERFACE)
target_link_libraries(orvo_hidapi_shipped INTERFACE
  -Wl,--whole-archive ${HIDAPI_WINDOWS_STATIC} -Wl,--no-whole-archive hid)

# Exports: the functions marked ORVO_EXPORT (base/pkcs11.h) and hidapi's, nothing else.
set(ORVO_SHIPPED_LIBRARY_LINK_OPTIONS "")

# Linux: the installed Debian packages.
find_package(PkgConfig REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

pkg_check_modules(P11KIT REQUIRED p11-kit-1)
pkg_check_modules(UDEV REQUIRED libudev)

set(ORVO_PLATFORM posix)
set(ORVO_HID_PLATFORM_SOURCE transport/hidraw/report_descriptor.cpp)

# hidapi's hidraw backend, linked statically into the shipped library so that its hid_
# functions are exported from it.
find_library(HIDAPI_HIDRAW_STATIC libhidapi-hidraw.a REQUIRED)
find_path(HIDAPI_INCLUDE_DIR hidapi/hidapi.h REQUIRED)
add_library(orvo_hidapi_shipped INTERFACE)
target_link_libraries(orvo_hidapi_shipped INTERFACE
  -Wl,--whole-archive ${HIDAPI_HIDRAW_STATIC} -Wl,--no-whole-archive ${UDEV_LIBRARIES})

# PKCS#11 declarations: p11-kit's pkcs11.h.
add_library(orvo_pkcs11_headers INTERFACE)
target_include_directories(orvo_pkcs11_headers INTERFACE ${P11KIT_INCLUDE_DIRS})

set(ORVO_EXPORTS_MAP ${PROJECT_SOURCE_DIR}/src/api/exports.map)
set(ORVO_SHIPPED_LIBRARY_LINK_OPTIONS -Wl,--version-script=${ORVO_EXPORTS_MAP} -Wl,--no-undefined)

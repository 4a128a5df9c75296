# Every dependency comes from a Debian package (scripts/setup.sh installs them).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nanopb CONFIG REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(Boost 1.74 REQUIRED)

pkg_check_modules(P11KIT REQUIRED p11-kit-1)
pkg_check_modules(UDEV REQUIRED libudev)

find_program(NANOPB_GENERATOR nanopb_generator.py REQUIRED)
find_program(PROTOC protoc REQUIRED)

find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
add_library(orvo_mbedtls INTERFACE)
target_link_libraries(orvo_mbedtls INTERFACE ${MBEDTLS_LIB} ${MBEDX509_LIB} ${MBEDCRYPTO_LIB})

# hidapi's hidraw backend, linked statically into the shipped library so that its hid_
# functions are exported from it.
find_library(HIDAPI_HIDRAW_STATIC libhidapi-hidraw.a REQUIRED)
find_path(HIDAPI_INCLUDE_DIR hidapi/hidapi.h REQUIRED)

# PKCS#11 declarations: p11-kit's pkcs11.h.
add_library(orvo_pkcs11_headers INTERFACE)
target_include_directories(orvo_pkcs11_headers INTERFACE ${P11KIT_INCLUDE_DIRS})
